// A stand-in for the service, run by the service control manager of the test prefix: a real
// own-process service that serves the control pipe while it runs. Every whole packet it reads
// sets the named event "CobalinTestServicePacket" when a test created it. Started with
// "--no-pipe" on its command line it serves no control pipe, the way a broken service would.

#include <windows.h>

#include <cwchar>

#include "support/control_pipe_server.h"

namespace {

SERVICE_STATUS_HANDLE g_statusHandle = nullptr;
HANDLE g_stopEvent = nullptr;

void Report(DWORD state, DWORD exitCode = NO_ERROR) {
  SERVICE_STATUS status{};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
  status.dwWin32ExitCode = exitCode;
  status.dwWaitHint = state == SERVICE_RUNNING || state == SERVICE_STOPPED ? 0 : 5000;
  SetServiceStatus(g_statusHandle, &status);
}

DWORD WINAPI Handler(DWORD control, DWORD, void*, void*) {
  if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
    Report(SERVICE_STOP_PENDING);
    SetEvent(g_stopEvent);
    return NO_ERROR;
  }
  return control == SERVICE_CONTROL_INTERROGATE ? NO_ERROR : ERROR_CALL_NOT_IMPLEMENTED;
}

void WINAPI ServiceMain(DWORD, wchar_t**) {
  g_statusHandle = RegisterServiceCtrlHandlerExW(L"Tarnswell", Handler, nullptr);
  if (g_statusHandle == nullptr) return;
  g_stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  Report(SERVICE_START_PENDING);
  if (g_stopEvent != nullptr && std::wcsstr(GetCommandLineW(), L"--no-pipe") != nullptr) {
    Report(SERVICE_RUNNING);
    WaitForSingleObject(g_stopEvent, 120000);  // bounded, as below
    Report(SERVICE_STOPPED);
    return;
  }

  // The control pipe exists before the service counts as running.
  ControlPipeServer server;
  if (g_stopEvent == nullptr || !server.Start()) {
    Report(SERVICE_STOPPED, ERROR_SERVICE_SPECIFIC_ERROR);
    return;
  }
  Report(SERVICE_RUNNING);

  const HANDLE waits[2] = {g_stopEvent, server.PacketEvent()};
  for (;;) {
    // Bounded: a test run that forgets the service still ends it after a while.
    const DWORD woken = WaitForMultipleObjects(2, waits, FALSE, 120000);
    if (woken != WAIT_OBJECT_0 + 1) break;
    if (HANDLE seen = OpenEventW(EVENT_MODIFY_STATE, FALSE, L"CobalinTestServicePacket")) {
      SetEvent(seen);
      CloseHandle(seen);
    }
  }
  server.Stop();
  Report(SERVICE_STOPPED);
}

}  // namespace

int main() {
  wchar_t name[] = L"Tarnswell";
  SERVICE_TABLE_ENTRYW table[] = {{name, ServiceMain}, {nullptr, nullptr}};
  return StartServiceCtrlDispatcherW(table) ? 0 : 1;
}
