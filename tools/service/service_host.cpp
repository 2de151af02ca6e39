#include "service/service_host.h"

#include <windows.h>

#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "common/console.h"
#include "common/text.h"
#include "service/log.h"
#include "service/service_core.h"
#include "shared/owners.h"

namespace {

// Service state shared between the dispatcher's threads: the options, the status handle and
// the stop event. Written before the dispatcher starts or by the service's main function.
ServiceOptions g_options;
SERVICE_STATUS_HANDLE g_statusHandle = nullptr;
HANDLE g_stopEvent = nullptr;
DWORD g_checkPoint = 0;

void ReportStatus(DWORD state, DWORD exitCode, DWORD waitHintMs) {
  SERVICE_STATUS status{};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
  status.dwWin32ExitCode = exitCode;
  status.dwWaitHint = waitHintMs;
  status.dwCheckPoint = (state == SERVICE_RUNNING || state == SERVICE_STOPPED) ? 0 : ++g_checkPoint;
  SetServiceStatus(g_statusHandle, &status);
}

// A thread of the service control manager's dispatcher: stop and shutdown requests.
DWORD WINAPI ControlHandler(DWORD control, DWORD, void*, void*) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      Log(control == SERVICE_CONTROL_STOP ? L"stop requested" : L"the system shuts down");
      ReportStatus(SERVICE_STOP_PENDING, NO_ERROR, 10000);
      SetEvent(g_stopEvent);
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

// The service's main function, on a thread the dispatcher makes; returns when stopped.
void WINAPI ServiceMain(DWORD, wchar_t**) {
  g_statusHandle = RegisterServiceCtrlHandlerExW(kServiceName, ControlHandler, nullptr);
  if (g_statusHandle == nullptr) return;
  ReportStatus(SERVICE_START_PENDING, NO_ERROR, 5000);
  UniqueHandle stop(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  g_stopEvent = stop.get();
  auto core = std::make_unique<ServiceCore>(g_options);
  if (!stop || !core->Start()) {
    ReportStatus(SERVICE_STOPPED, ERROR_SERVICE_SPECIFIC_ERROR, 0);
    return;
  }
  ReportStatus(SERVICE_RUNNING, NO_ERROR, 0);
  Log(L"running as the service \"Tarnswell\"");
  WaitForSingleObject(stop.get(), INFINITE);  // the service runs until it is stopped
  core->Stop();
  core.reset();
  Log(L"stopped");
  ReportStatus(SERVICE_STOPPED, NO_ERROR, 0);
}

HANDLE g_consoleStop = nullptr;

// A thread the system makes for Ctrl+C and Ctrl+Break.
BOOL WINAPI ConsoleCtrlHandler(DWORD) {
  if (g_consoleStop != nullptr) SetEvent(g_consoleStop);
  return TRUE;
}

}  // namespace

int RunAsService(const ServiceOptions& options) {
  g_options = options;
  OpenLog(false, options.logPath);
  static wchar_t name[] = L"Tarnswell";
  SERVICE_TABLE_ENTRYW table[] = {{name, ServiceMain}, {nullptr, nullptr}};
  if (!StartServiceCtrlDispatcherW(table)) {
    const DWORD error = GetLastError();
    if (error == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) {
      ErrLine(L"This program is the Tarnswell service: the service control manager starts it.");
      ErrLine(L"Use --console to run it here, --install to install it, or --help.");
    } else {
      ErrLine(L"The service could not start: " + Win32ErrorText(error));
    }
    return 1;
  }
  CloseLog();
  return 0;
}

namespace {

// Lines typed at the console, handed from the reading thread to the main thread. Shared, so
// that the reading thread (which cannot be cancelled) never outlives what it writes to.
struct TypedLines {
  std::mutex lock;
  std::vector<std::wstring> lines;
  bool ended = false;
  UniqueHandle changed{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
};

}  // namespace

int RunInConsole(const ServiceOptions& options) {
  OpenLog(true, options.logPath);
  UniqueHandle stop(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  g_consoleStop = stop.get();
  SetConsoleCtrlHandler(ConsoleCtrlHandler, TRUE);
  ServiceCore core(options);
  if (!core.Start()) {
    ErrLine(L"The control pipe could not be opened: is the Tarnswell service running already?");
    return 1;
  }
  Log(L"running in this console; \"quit\" or Ctrl+C stops it");

  auto typed = std::make_shared<TypedLines>();
  std::thread([typed] {
    std::wstring line;
    while (ReadInputLine(line)) {
      std::lock_guard<std::mutex> lock(typed->lock);
      typed->lines.push_back(line);
      SetEvent(typed->changed.get());
    }
    std::lock_guard<std::mutex> lock(typed->lock);
    typed->ended = true;
    SetEvent(typed->changed.get());
  }).detach();  // a read on the console cannot be cancelled; the process ends it

  DWORD mode = 0;
  const bool interactive = GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
  bool running = true;
  while (running) {
    HANDLE waits[2] = {stop.get(), typed->changed.get()};
    // The service runs until it is stopped.
    if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0) break;
    std::vector<std::wstring> lines;
    bool ended = false;
    {
      std::lock_guard<std::mutex> lock(typed->lock);
      lines.swap(typed->lines);
      ended = typed->ended;
    }
    for (auto line : lines) {
      line = Trim(line);
      if (line == L"quit" || line == L"exit") {
        running = false;
      } else if (line.rfind(L"message ", 0) == 0) {
        if (!core.ShowMessage(line.substr(8))) Log(L"no GUI is connected: the message was not sent");
      } else if (line == L"status") {
        for (const auto& l : core.StatusLines()) Log(L"%s", l.c_str());
      } else if (!line.empty()) {
        Log(L"commands: message TEXT, status, quit");
      }
    }
    // The end of typed input stops the service; input from a file or a pipe that ends does not.
    if (ended && interactive) running = false;
  }
  core.Stop();
  Log(L"stopped");
  g_consoleStop = nullptr;
  return 0;
}
