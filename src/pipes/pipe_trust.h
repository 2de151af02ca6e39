#pragma once
// Whom the receiving pipe admits when the service runs on this computer: LocalSystem, the
// Administrators group and the account the service "Tarnswell" is configured to run under, as
// the service control manager has it; unless an administrator has opened the pipe to every
// caller again with one registry value. Shared by the module and the installation program's
// doctor, so that both come to the same answer; nothing here traces.

#include <windows.h>

// The administrator's switch: a REG_DWORD value on the pseudo-service class key of the
// machine, non-zero to have the receiving pipe admit every caller as it does for a service on
// another computer. Only HKEY_LOCAL_MACHINE counts: HKEY_CLASSES_ROOT merges in the user's own
// classes, which any program of the user may write.
constexpr const wchar_t* kModuleClassKey = L"SOFTWARE\\Classes\\CLSID\\{1B872DBC-5A55-43B1-AFF6-4115DD5C3D44}";
constexpr const wchar_t* kOpenPipeValue = L"OpenReceivingPipe";

// True when the switch is set. `view` is 0 for the caller's own registry view (the module's),
// or KEY_WOW64_32KEY / KEY_WOW64_64KEY to read the view a module of that architecture reads.
[[nodiscard]] bool IsReceivingPipeOpenedByAdministrator(REGSAM view = 0) noexcept;

// The account the service is configured to run under.
struct ServiceAccount {
  WCHAR name[520];                  // as configured; "LocalSystem" when none is given
  BYTE sid[SECURITY_MAX_SID_SIZE];  // valid when the account was resolved
};

enum class ServiceAccountResult {
  kResolved,      // name and identifier known
  kUnreadable,    // no configuration to read (the service missing, no right to query it)
  kUnresolvable,  // the name is known, but it is no account a service can run under here
};

// Reads the service's configuration and resolves its account. `*error` receives the Win32
// error of the step that failed (ERROR_SUCCESS when resolved).
ServiceAccountResult ReadServiceAccount(ServiceAccount& account, DWORD* error) noexcept;
