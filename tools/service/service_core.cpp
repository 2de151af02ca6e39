#include "service/service_core.h"

#include "common/display_map.h"
#include "common/text.h"
#include "service/log.h"
#include "handoff/commands.h"

namespace {

constexpr DWORD kGuiPipeWaitMs = 5000;

std::wstring DriveName(WCHAR drive) {
  std::wstring name(1, drive);
  return name + L":";
}

}  // namespace

ServiceCore::ServiceCore(const ServiceOptions& options) : m_options(options), m_volumes(options.seed) {}

ServiceCore::~ServiceCore() { Stop(); }

bool ServiceCore::Start() {
  Log(L"starting (seed %llu, tick %u ms)", static_cast<unsigned long long>(m_options.seed), m_options.tickMs);
  return m_pipe.Start([this](const PipePacket& header, std::vector<BYTE> body) {
    HandlePacket(header, std::move(body));
  });
}

void ServiceCore::Stop() {
  m_pipe.Stop();
  std::array<std::unique_ptr<Engine>, 26> engines;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    engines.swap(m_engines);
  }
  for (auto& e : engines) {
    if (e) e->Stop();
  }
  engines = {};  // joins every run
  m_link.Close();
}

Engine* ServiceCore::EngineOf(WCHAR drive) {
  const int index = DriveIndexOf(drive);
  return index < 0 ? nullptr : m_engines[static_cast<std::size_t>(index)].get();
}

void ServiceCore::HandlePacket(const PipePacket& header, std::vector<BYTE> body) {
  std::lock_guard<std::mutex> lock(m_lock);
  const std::uint32_t command = header.dwCommand;
  const WCHAR drive = header.cDrive;
  const wchar_t* name = GetCommandName4_0(command);
  if (command != 0) Log(L"received %s(%u) drive %c, %u body bytes", name, command, drive != 0 ? drive : L'-', header.dwDataSize);

  switch (command) {
    case 0:  // the module's probe: proves the pipe can be reached
      Log(L"probe from the module");
      break;
    case TW4_0::ID_GUI_START:
      OnGuiStart(body);
      break;
    case TW4_0::ID_GUI_STOP:
      Log(L"the GUI stops");
      break;
    case ID_PIPE_DISCONNECTED:
      m_link.Close();
      break;
    case TW4_0::ID_GUI_START_COMM:
      break;
    case TW4_0::ID_DRIVE_DATA:
      SendDriveData();
      break;
    case TW4_0::ID_CURRENT_DRIVE:
      OnCurrentDrive(drive);
      break;
    case TW4_0::ID_START_ANALYZE:
      OnStartEngine(drive, EngineKind::Analyze);
      break;
    case TW4_0::ID_START_DEFRAG:
      OnStartEngine(drive, EngineKind::Defrag);
      break;
    case TW4_0::ID_STOP_ANALYZE:
    case TW4_0::ID_STOP_DEFRAG:
      OnStopEngine(drive);
      break;
    case TW4_0::ID_PAUSE_ANALYZE:
    case TW4_0::ID_PAUSE_DEFRAG:
      OnPauseEngine(drive);
      break;
    case TW4_0::ID_CONTINUE_ANALYZE:
    case TW4_0::ID_CONTINUE_DEFRAG:
      OnContinueEngine(drive);
      break;
    case TW4_0::ID_NEED_DISPLAY_DATA:
      OnNeedDisplayData(drive, header.dwParam);
      break;
    case TW4_0::ID_REQUEST_LOG_DATA:
      m_link.Send(TW4_0::ID_NEW_LOG_DATA, 0, m_settings.LogData());
      break;
    case TW4_0::ID_NEW_LOG_DATA:
      if (!m_settings.SaveLogData(body)) Log(L"log settings not saved: empty or too large");
      break;
    case TW4_0::ID_REQUEST_PRIORITY_DATA:
      m_link.Send(TW4_0::ID_NEW_PRIORITY_DATA, 0, m_settings.PriorityData());
      break;
    case TW4_0::ID_NEW_PRIORITY_DATA:
      if (!m_settings.SavePriorityData(body)) Log(L"priority settings not saved: empty or too large");
      break;
    case TW4_0::ID_REQUEST_SCHEDULING_EX:
      m_link.Send(TW4_0::ID_NEW_SCHEDULING_DATA_EX, 0, m_settings.ScheduleData());
      break;
    case TW4_0::ID_SAVE_SCHEDULING_EX:
    case TW4_0::ID_START_SCHEDULING:
      if (!m_settings.SaveScheduleData(body)) Log(L"schedule not saved: empty or too large");
      break;
    case TW4_0::ID_REQUEST_EXCLUDE_DATA_EX:
      m_link.Send(TW4_0::ID_NEW_EXCLUDE_DATA_EX, 0, m_settings.ExclusionDataEx());
      break;
    case TW4_0::ID_NEW_EXCLUDE_DATA:
      if (!m_settings.SaveExclusionData(body)) Log(L"exclusion data not saved: shorter than its fixed part");
      break;
    default:
      Log(L"command %u is not one a service answers; ignored", command);
      break;
  }
}

void ServiceCore::OnGuiStart(const std::vector<BYTE>& body) {
  const std::wstring pipeName = ReadText(body.data(), body.size());
  Log(L"the GUI's pipe is %s", pipeName.c_str());
  if (!m_link.Connect(pipeName, kGuiPipeWaitMs)) return;
  m_link.Send(TW4_0::ID_INITIALIZE_CONTROLLER, 0);
  SendDriveData();
}

void ServiceCore::SendDriveData() { m_link.Send(TW4_0::ID_DRIVE_DATA, 0, m_volumes.DriveData()); }

void ServiceCore::OnStartEngine(WCHAR drive, EngineKind kind) {
  const wchar_t* what = kind == EngineKind::Analyze ? L"analyzed" : L"defragmented";
  const auto volume = m_volumes.Get(drive);
  if (!volume) {
    ShowMessage(L"There is no drive " + DriveName(drive) + L" on this computer.");
    return;
  }
  if (!volume->engineCapable) {
    ShowMessage(L"Drive " + DriveName(volume->letter) + L" cannot be " + what + L": its file system (" +
                volume->fileSystem + L") is not supported.");
    return;
  }
  const int index = DriveIndexOf(drive);
  auto& slot = m_engines[static_cast<std::size_t>(index)];
  if (slot && !slot->Finished()) {
    ShowMessage(L"An engine is already running on drive " + DriveName(volume->letter) + L".");
    return;
  }
  slot.reset();  // joins the finished run
  slot = std::make_unique<Engine>(volume->letter, kind, m_options.tickMs, m_volumes, m_link);
  slot->Start();
}

void ServiceCore::OnStopEngine(WCHAR drive) {
  Engine* engine = EngineOf(drive);
  if (engine == nullptr || engine->Finished()) {
    Log(L"stop for drive %c: no engine runs there", drive != 0 ? drive : L'-');
    return;
  }
  engine->Stop();
}

void ServiceCore::OnPauseEngine(WCHAR drive) {
  Engine* engine = EngineOf(drive);
  if (engine == nullptr || !engine->Pause()) {
    Log(L"pause for drive %c: no running engine to pause", drive != 0 ? drive : L'-');
    return;
  }
  m_link.Send(TW4_0::ID_ENGINE_PAUSE, engine->Drive());
}

void ServiceCore::OnContinueEngine(WCHAR drive) {
  Engine* engine = EngineOf(drive);
  if (engine == nullptr || !engine->Continue()) {
    Log(L"continue for drive %c: no paused engine", drive != 0 ? drive : L'-');
    return;
  }
  m_link.Send(TW4_0::ID_ENGINE_CONTINUE, engine->Drive());
}

void ServiceCore::OnCurrentDrive(WCHAR drive) {
  if (DriveIndexOf(drive) < 0) return;
  m_currentDrive = drive;
  // A GUI that comes while an engine runs learns of it from the drive's volume data.
  Engine* engine = EngineOf(drive);
  if (engine != nullptr && !engine->Finished()) {
    const auto figures = m_volumes.Figures(drive, engine->Pass());
    if (figures) {
      const auto body = BuildVolumeDataBody(*figures);
      m_link.Send(TW4_0::ID_VOL_DATA, engine->Drive(), 0,
                  engine->Kind() == EngineKind::Analyze ? kVolumeDataAnalyzeText : kVolumeDataDefragText,
                  body.data(), body.size());
    }
  }
}

void ServiceCore::OnNeedDisplayData(WCHAR drive, std::uint32_t cells) {
  const auto volume = m_volumes.Get(drive);
  if (!volume) return;
  m_volumes.SetDisplaySize(drive, cells);
  const std::uint32_t size = m_volumes.DisplaySize(drive);
  if (size == 0) return;
  const auto map = m_volumes.Map(drive, size);
  m_link.Send(TW4_0::ID_NEW_DISPLAY_DATA, volume->letter, size, nullptr, map.data(), map.size());
}

bool ServiceCore::ShowMessage(const std::wstring& text) {
  Log(L"message for the GUI: %s", text.c_str());
  std::wstring shown = text.substr(0, kPipeMaxBody / sizeof(wchar_t) - 1);
  return m_link.Send(TW4_0::ID_DISPLAY_MESSAGE, 0, 0, nullptr, shown.c_str(), (shown.size() + 1) * sizeof(wchar_t));
}

std::vector<std::wstring> ServiceCore::StatusLines() {
  std::vector<std::wstring> lines;
  lines.push_back(std::wstring(L"GUI link: ") + (m_link.IsOpen() ? L"open" : L"closed"));
  for (WCHAR letter = L'A'; letter <= L'Z'; ++letter) {
    const auto volume = m_volumes.Get(letter);
    if (!volume) continue;
    std::wstring line = DriveName(letter) + L" " + volume->fileSystem + L", engine code " +
                        std::to_wstring(m_volumes.EngineCode(letter)) + L", " +
                        std::to_wstring(volume->fragmented.size()) + L" fragmented files";
    lines.push_back(line);
  }
  return lines;
}
