#include "install/doctor_service_account.h"

#include <windows.h>

#include <string>

#include "common/text.h"
#include "pipes/pipe_trust.h"

void CheckServiceAccount(DoctorReport& report, int bits) {
  const bool open = IsReceivingPipeOpenedByAdministrator(ViewFlag(bits));
  if (open) {
    report.seen.push_back(std::wstring(L"The value ") + kOpenPipeValue + L" of HKLM\\" + kModuleClassKey + L" in the " +
                          std::to_wstring(bits) + L"-bit registry view is set, so the module's receiving pipe admits " +
                          L"every caller, as for a service on another computer; delete the value to admit only " +
                          L"LocalSystem, the Administrators and the service's account.");
  }
  ServiceAccount account;
  DWORD error = ERROR_SUCCESS;
  const ServiceAccountResult result = ReadServiceAccount(account, &error);
  // A service that cannot be looked at is the service check's finding.
  if (result == ServiceAccountResult::kUnreadable) return;
  const std::wstring runsAs = L"The service \"Tarnswell\" runs as " + std::wstring(account.name);
  if (result == ServiceAccountResult::kResolved) {
    report.seen.push_back(runsAs + L", which the module admits to its receiving pipe.");
  } else if (open) {
    report.seen.push_back(runsAs + L", which is no account known here; the module admits it only because " +
                          kOpenPipeValue + L" is set.");
  } else {
    report.findings.push_back(runsAs + L", which is no account known here (" + Win32ErrorText(error) +
                              L"), so the module refuses it on its receiving pipe and hears nothing from the " +
                              L"service: configure the service to run as LocalSystem (sc config Tarnswell " +
                              L"obj= LocalSystem) or under an existing account.");
  }
}
