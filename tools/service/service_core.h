#pragma once
// The service stand-in's behaviour: the answers to every command the module writes into the
// control pipe. It owns the simulated volumes, the settings, the link to the GUI's receiving
// pipe and the running engines. Commands are handled one at a time (one lock), on the thread
// of the control-pipe connection they came on.

#include <windows.h>

#include <array>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "pipes/pipe_packet.h"
#include "service/control_pipe.h"
#include "service/engine.h"
#include "service/gui_link.h"
#include "service/options.h"
#include "service/settings.h"
#include "service/volumes.h"

class ServiceCore {
 public:
  explicit ServiceCore(const ServiceOptions& options);
  ~ServiceCore();
  ServiceCore(const ServiceCore&) = delete;
  ServiceCore& operator=(const ServiceCore&) = delete;

  // Opens the control pipe. False when it cannot be created (another service has it).
  bool Start();
  // Stops every engine and closes the pipes; bounded by the engines' ticks.
  void Stop();

  // A control-pipe connection's thread: one command.
  void HandlePacket(const PipePacket& header, std::vector<BYTE> body);

  // Any thread: has the GUI show a text (ID_DISPLAY_MESSAGE).
  bool ShowMessage(const std::wstring& text);
  // Any thread: one line per volume with its engine's state.
  std::vector<std::wstring> StatusLines();

 private:
  void OnGuiStart(const std::vector<BYTE>& body);
  void SendDriveData();
  void OnStartEngine(WCHAR drive, EngineKind kind);
  void OnStopEngine(WCHAR drive);
  void OnPauseEngine(WCHAR drive);
  void OnContinueEngine(WCHAR drive);
  void OnCurrentDrive(WCHAR drive);
  void OnNeedDisplayData(WCHAR drive, std::uint32_t cells);
  // The engine of a drive, or null; finished engines stay until the next start on the drive.
  Engine* EngineOf(WCHAR drive);

  const ServiceOptions m_options;
  std::mutex m_lock;
  VolumeSet m_volumes;
  SettingsStore m_settings;
  GuiLink m_link;
  ControlPipeServer m_pipe;
  std::array<std::unique_ptr<Engine>, 26> m_engines;
  WCHAR m_currentDrive = L'C';
};
