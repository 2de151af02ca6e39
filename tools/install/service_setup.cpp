#include "install/service_setup.h"

#include <windows.h>

#include "common/console.h"
#include "common/text.h"
#include "shared/owners.h"

int RunServiceSetup(const std::wstring& servicePath, const std::wstring& arguments) {
  if (GetFileAttributesW(servicePath.c_str()) == INVALID_FILE_ATTRIBUTES) {
    ErrLine(L"The service program " + servicePath + L" is not there.");
    return 1;
  }
  std::wstring commandLine = L"\"" + servicePath + L"\" " + arguments;
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  // The service program writes its messages where this program writes its own.
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(servicePath.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                      &startup, &process)) {
    ErrLine(L"The service program cannot be run: " + Win32ErrorText(GetLastError()));
    return 1;
  }
  UniqueHandle processHandle(process.hProcess), threadHandle(process.hThread);
  // Stopping a running service takes it up to 15 s; the rest is quick.
  if (WaitForSingleObject(processHandle.get(), 60000) != WAIT_OBJECT_0) {
    ErrLine(L"The service program did not finish within a minute.");
    TerminateProcess(processHandle.get(), 1);
    return 1;
  }
  DWORD exitCode = 1;
  GetExitCodeProcess(processHandle.get(), &exitCode);
  return static_cast<int>(exitCode);
}

void ShowServiceStatus() {
  UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  UniqueScHandle service(manager ? OpenServiceW(manager.get(), L"Tarnswell", SERVICE_QUERY_STATUS) : nullptr);
  if (!service) {
    OutLine(L"Service: not installed");
  } else {
    SERVICE_STATUS status{};
    QueryServiceStatus(service.get(), &status);
    OutLine(std::wstring(L"Service: installed, ") +
            (status.dwCurrentState == SERVICE_RUNNING   ? L"running"
             : status.dwCurrentState == SERVICE_STOPPED ? L"stopped"
                                                        : L"starting or stopping"));
  }
  wchar_t build[64] = {};
  DWORD size = sizeof(build);
  if (RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Pellmark\\Tarnswell\\CurrentVersion", L"BuildNumber",
                   RRF_RT_REG_SZ, nullptr, build, &size) == ERROR_SUCCESS) {
    OutLine(std::wstring(L"Service build: ") + build);
  }
}
