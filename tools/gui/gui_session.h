#pragma once
// One session of the GUI stand-in with the module: connecting to a machine's service, the
// commands a person gives (analyse, defragment, pause, continue, stop, abort, settings, ...),
// and the exit. Every method runs on the main thread, which is in the multithreaded apartment;
// the module's notifications arrive on its own thread through the session model.

#include <windows.h>
#include <objidl.h>

#include <cstdint>
#include <string>
#include <vector>

#include "gui/data_objects.h"
#include "gui/session_model.h"
#include "shared/owners.h"

struct GuiOptions {
  std::wstring machine;            // the machine whose service is driven; this computer by default
  std::wstring script;             // commands separated by ';' (scripted mode)
  bool scripted = false;
  DWORD stepTimeoutMs = 120000;    // the longest wait of one command
  std::uint32_t mapBlocks = 1024;  // display size asked for (blocks of the drive map)
  std::size_t mapColumns = 64;
  std::wstring traceFile;          // where to record the module's trace of this process
  bool help = false;
  std::wstring error;
};

GuiOptions ParseGuiOptions(int argc, wchar_t** argv);
extern const wchar_t kGuiUsage[];
// "analyze C; defrag C" -> {"analyze C", "defrag C"}.
std::vector<std::wstring> SplitScript(const std::wstring& script);

class GuiSession {
 public:
  explicit GuiSession(const GuiOptions& options);
  GuiSession(const GuiSession&) = delete;
  GuiSession& operator=(const GuiSession&) = delete;

  // Activates the module, connects it to the service and waits for the drive list. False
  // with a plain sentence written when any of it fails.
  bool Connect();
  // One command. False when it did not work (a sentence says why). `exited` is set by "exit".
  bool Run(const std::wstring& command, bool& exited);
  // The GUI's exit: the module shuts its layer down; then the engine class keys must be gone
  // and the module unloadable. False when any of that is not so.
  bool Exit();
  // True once the module has confirmed the exit, so that nothing of this session is called
  // any more and it may be destroyed.
  bool ShutDown() const { return m_shutDown; }

 private:
  bool Operation(int drive, std::uint32_t operation, bool wait);
  bool WaitForEnd(int drive, std::uint64_t endScansBefore, const wchar_t* what);
  bool Pause(int drive);
  bool Continue(int drive);
  bool Stop(int drive);
  bool Abort(int drive);
  bool Report(int drive);
  bool Refresh();
  bool Settings(const std::vector<std::wstring>& args);
  bool RequestSettings();
  bool RefreshMap(int drive);
  // The drive named by a command's argument ("C", "c:"), which must be in the drive list.
  int DriveArgument(const std::vector<std::wstring>& args);
  // The engine object of a drive whose engine runs, or null with a sentence written.
  ComPtr<IDataObject> RunningEngine(int drive, const wchar_t* verb);
  // Shows progress and the service's texts while waiting.
  void ShowProgress(const SessionState& state);
  void ShowNewMessages(const SessionState& state);
  void OnEngineStarted(int drive, IDataObject* engine);

  GuiOptions m_options;
  SessionModel m_model;
  ComPtr<IDataObject> m_service;
  std::wstring m_machine;
  std::size_t m_messagesShown = 0;
  std::uint32_t m_lastShown[26] = {};
  bool m_progressOnLine = false;
  bool m_connected = false;
  bool m_shutDown = false;
};
