#include "gui/diagnosis.h"

#include "common/text.h"
#include "gui/module_client.h"
#include "shared/owners.h"

namespace {

constexpr const wchar_t* kVersionKey = L"SOFTWARE\\Pellmark\\Tarnswell\\CurrentVersion";

bool IsThisComputer(const std::wstring& machine) {
  return machine.empty() || machine == L"." || ToUpper(machine) == ToUpper(ThisComputerName());
}

}  // namespace

bool HasAdministratorRights() {
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  UniqueSid administrators;
  if (!AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                                administrators.put())) {
    return false;
  }
  BOOL member = FALSE;
  if (!CheckTokenMembership(nullptr, administrators.get(), &member)) return false;
  return member != FALSE;
}

std::wstring ExplainConnectFailure(const std::wstring& machine) {
  const std::wstring where = IsThisComputer(machine) ? L"this computer" : machine;
  if (!HasAdministratorRights()) {
    return L"This account lacks administrator rights: only an administrator can drive the defragmentation "
           L"service. Run the program as an administrator.";
  }
  if (IsThisComputer(machine)) {
    UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (manager) {
      UniqueScHandle service(OpenServiceW(manager.get(), L"Tarnswell", SERVICE_QUERY_STATUS));
      if (!service && GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST) {
        return L"The Tarnswell service is not installed on this computer. Install it first "
               L"(cobalin_install install).";
      }
    }
    UniqueHKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kVersionKey, 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS ||
        RegQueryValueExW(key.get(), L"BuildNumber", nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
      return L"The Tarnswell service is not installed properly on this computer: its version is not recorded. "
             L"Install it again (cobalin_install install).";
    }
  } else {
    UniqueHKey root;
    if (RegConnectRegistryW(machine.c_str(), HKEY_LOCAL_MACHINE, root.put()) != ERROR_SUCCESS) {
      return L"The computer " + machine + L" cannot be reached, or it does not let its registry be read from here.";
    }
    UniqueHKey key;
    if (RegOpenKeyExW(root.get(), kVersionKey, 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS ||
        RegQueryValueExW(key.get(), L"BuildNumber", nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
      return L"The Tarnswell service is not installed on " + machine + L".";
    }
  }
  return L"The Tarnswell service on " + where +
         L" did not answer: it could not be started, or its control pipe is not there.";
}

std::wstring ExplainActivationFailure(HRESULT hr) {
  if (hr == REGDB_E_CLASSNOTREG || RegisteredModulePath().empty()) {
    return L"The Cobalin module is not installed on this computer. Install it first (cobalin_install install).";
  }
  if (hr == HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND) || hr == CO_E_DLLNOTFOUND) {
    return L"The Cobalin module file " + RegisteredModulePath() + L" is missing. Install the module again.";
  }
  if (hr == E_ACCESSDENIED) return L"This account may not use the Cobalin module.";
  return L"The Cobalin module could not be started: " + Win32ErrorText(static_cast<DWORD>(hr));
}
