#include "service/install.h"

#include <windows.h>

#include "common/console.h"
#include "common/text.h"
#include "service/service_host.h"
#include "shared/owners.h"

namespace {

constexpr const wchar_t* kVersionKey = L"SOFTWARE\\Pellmark\\Tarnswell\\CurrentVersion";
constexpr const wchar_t* kProductKey = L"SOFTWARE\\Pellmark\\Tarnswell";
constexpr const wchar_t* kResourceKey = L"SOFTWARE\\Pellmark\\TarnswellNT4";
constexpr const wchar_t* kVendorKey = L"SOFTWARE\\Pellmark";

int Fail(const std::wstring& what, DWORD error) {
  if (error == ERROR_ACCESS_DENIED) {
    ErrLine(what + L": this account lacks administrator rights.");
  } else {
    ErrLine(what + L": " + Win32ErrorText(error));
  }
  return 1;
}

LSTATUS WriteString(const wchar_t* keyPath, const wchar_t* name, const std::wstring& value) {
  UniqueHKey key;
  LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                   KEY_SET_VALUE, nullptr, key.put(), nullptr);
  if (status != ERROR_SUCCESS) return status;
  return RegSetValueExW(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                        static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

// Asks `done` every 100 ms until it answers true (true) or `timeoutMs` have passed (false).
template <typename Done>
bool PollUntil(Done done, DWORD timeoutMs) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  for (;;) {
    if (done()) return true;
    if (GetTickCount64() >= deadline) return false;
    Sleep(100);
  }
}

// Stops the service if it runs, waiting at most `timeoutMs` for it to stop.
bool StopService(SC_HANDLE service, DWORD timeoutMs) {
  SERVICE_STATUS status{};
  if (!QueryServiceStatus(service, &status)) return false;
  if (status.dwCurrentState == SERVICE_STOPPED) return true;
  if (status.dwCurrentState != SERVICE_STOP_PENDING) ControlService(service, SERVICE_CONTROL_STOP, &status);
  return PollUntil([&] { return !QueryServiceStatus(service, &status) || status.dwCurrentState == SERVICE_STOPPED; },
                   timeoutMs) &&
         status.dwCurrentState == SERVICE_STOPPED;
}

}  // namespace

int InstallService(const ServiceOptions& options) {
  wchar_t program[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, program, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return Fail(L"The program's path cannot be read", GetLastError());
  const std::wstring commandLine = ServiceCommandLine(program, options);

  UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE));
  if (!manager) return Fail(L"The service control manager cannot be opened", GetLastError());
  UniqueScHandle service(CreateServiceW(manager.get(), kServiceName, L"Tarnswell defragmentation service",
                                        SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                        SERVICE_ERROR_NORMAL, commandLine.c_str(), nullptr, nullptr, nullptr,
                                        nullptr, nullptr));
  if (!service) {
    const DWORD error = GetLastError();
    if (error != ERROR_SERVICE_EXISTS) return Fail(L"The service cannot be installed", error);
    // Installed already: stop it and take the new command line.
    service.reset(OpenServiceW(manager.get(), kServiceName, SERVICE_ALL_ACCESS));
    if (!service) return Fail(L"The installed service cannot be opened", GetLastError());
    StopService(service.get(), 15000);
    if (!ChangeServiceConfigW(service.get(), SERVICE_NO_CHANGE, SERVICE_DEMAND_START, SERVICE_NO_CHANGE,
                              commandLine.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr)) {
      return Fail(L"The installed service cannot be changed", GetLastError());
    }
  }

  LSTATUS status = WriteString(kVersionKey, L"BuildNumber", kBuildNumber);
  if (status != ERROR_SUCCESS) return Fail(L"The build number cannot be written", static_cast<DWORD>(status));
  const std::wstring resourceDll = ProgramDirectory() + kResourceDllFile;
  status = WriteString(kResourceKey, L"ResourceDllName", resourceDll);
  if (status != ERROR_SUCCESS) return Fail(L"The resource module's path cannot be written", static_cast<DWORD>(status));
  if (GetFileAttributesW(resourceDll.c_str()) == INVALID_FILE_ATTRIBUTES) {
    ErrLine(L"Note: the resource module " + resourceDll + L" is not there; size texts will be missing.");
  }
  OutLine(L"The Tarnswell service is installed (" + commandLine + L"), build " + kBuildNumber + L".");
  return 0;
}

int UninstallService() {
  UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return Fail(L"The service control manager cannot be opened", GetLastError());
  UniqueScHandle service(OpenServiceW(manager.get(), kServiceName, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
  if (service) {
    if (!StopService(service.get(), 15000)) ErrLine(L"Note: the service did not stop in time; it is removed all the same.");
    if (!DeleteService(service.get()) && GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE) {
      return Fail(L"The service cannot be removed", GetLastError());
    }
    // A service marked for deletion stays in the manager until its process has ended and the
    // last handle to it is closed; an install meanwhile would meet that entry. Wait (boundedly)
    // until it is gone.
    service.reset();
    if (!PollUntil([&] { return !UniqueScHandle(OpenServiceW(manager.get(), kServiceName, SERVICE_QUERY_STATUS)); },
                   15000)) {
      ErrLine(L"Note: the service is marked for removal but still there.");
    }
  } else if (GetLastError() != ERROR_SERVICE_DOES_NOT_EXIST) {
    return Fail(L"The service cannot be opened", GetLastError());
  }
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, kProductKey);
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, kResourceKey);
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, kVendorKey);  // only when nothing else of the vendor is left
  OutLine(L"The Tarnswell service is removed.");
  return 0;
}
