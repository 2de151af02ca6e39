// cobalin_gui: a stand-in for the defragmenter GUI, for people integrating the module. It
// serves the GUI's data objects, activates the module through COM, connects it to a machine's
// Tarnswell service and drives the service's engines with the commands given on its command
// line or typed at its prompt, showing what a person needs: the drive list, progress, volume
// statistics, the drive map and the fragmented-file report.

#include <windows.h>
#include <objbase.h>

#include "common/console.h"
#include "common/text.h"
#include "gui/gui_session.h"
#include "gui/trace_recorder.h"

int wmain(int argc, wchar_t** argv) {
  const GuiOptions options = ParseGuiOptions(argc, argv);
  if (options.help) {
    Out(kGuiUsage);
    return 0;
  }
  if (!options.error.empty()) {
    ErrLine(options.error);
    ErrLine(L"cobalin_gui --help lists the options.");
    return 2;
  }
  TraceRecorder recorder;
  if (!options.traceFile.empty()) {
    std::wstring problem;
    if (!recorder.Start(options.traceFile, problem)) ErrLine(L"Note: " + problem);
  }
  if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {
    ErrLine(L"COM could not be started in this program.");
    return 1;
  }
  // The session lives on the heap: when the module did not confirm the exit, its threads may
  // still call the GUI's objects, so the session is then left alive until the process ends.
  auto* session = new GuiSession(options);
  bool ok = session->Connect();
  bool exited = false;
  if (ok && options.scripted) {
    for (const auto& step : SplitScript(options.script)) {
      OutLine(L"> " + step);
      if (!session->Run(step, exited)) {
        ok = false;
        ErrLine(L"The step \"" + step + L"\" did not work.");
        break;
      }
      if (exited) break;
    }
  } else if (ok) {
    std::wstring line;
    for (;;) {
      Out(L"cobalin> ");
      if (!ReadInputLine(line)) break;
      session->Run(Trim(line), exited);
      if (exited) break;
    }
  }
  if (!exited && !session->Exit()) ok = false;
  if (session->ShutDown()) {
    delete session;
    CoUninitialize();
  }
  recorder.Stop();
  return ok ? 0 : 1;
}
