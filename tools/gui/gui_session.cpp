#include "gui/gui_session.h"

#include <cstring>
#include <cwctype>

#include "common/console.h"
#include "common/gui_wire.h"
#include "common/text.h"
#include "gui/diagnosis.h"
#include "gui/module_client.h"
#include "gui/views.h"
#include "handoff/commands.h"

namespace {

constexpr DWORD kDriveListWaitMs = 20000;
constexpr DWORD kEngineStartWaitMs = 20000;
constexpr DWORD kAnswerWaitMs = 10000;
constexpr DWORD kMapWaitMs = 5000;

std::wstring DriveName(int drive) { return std::wstring(1, static_cast<wchar_t>(L'A' + drive)) + L":"; }

std::wstring Capitalised(std::wstring text) {
  if (!text.empty()) text[0] = static_cast<wchar_t>(towupper(text[0]));
  return text;
}

std::vector<std::wstring> Words(const std::wstring& line) {
  std::vector<std::wstring> words;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && iswspace(line[i])) ++i;
    const std::size_t start = i;
    while (i < line.size() && !iswspace(line[i])) ++i;
    if (i > start) words.push_back(line.substr(start, i - start));
  }
  return words;
}

std::vector<BYTE> TextBody(const std::wstring& text) {
  std::vector<BYTE> body((text.size() + 1) * sizeof(wchar_t), 0);
  std::memcpy(body.data(), text.c_str(), text.size() * sizeof(wchar_t));
  return body;
}

}  // namespace

const wchar_t kGuiUsage[] =
    L"cobalin_gui: a stand-in for the defragmenter GUI, driving the Tarnswell service through the\n"
    L"Cobalin module.\n"
    L"\n"
    L"  cobalin_gui [--machine NAME] [--script \"CMD; CMD; ...\"] [--timeout SECONDS]\n"
    L"              [--map BLOCKS] [--columns N] [--trace FILE]\n"
    L"\n"
    L"Without --script it prompts for commands. With --script it runs them in order and exits\n"
    L"with status 0 only when every one worked. --trace records the module's debug trace of this\n"
    L"process into FILE (unless a trace viewer is listening already). Commands:\n"
    L"  drives                  the drive list            refresh     ask the service again\n"
    L"  analyze X [nowait]      analyse drive X           defrag X [nowait]   defragment it\n"
    L"  wait X                  wait for X's engine       status      progress of every drive\n"
    L"  pause X, continue X, stop X, abort X              current X   make X the current drive\n"
    L"  stats X, map X          statistics, drive map     report X    fragmented files of X\n"
    L"  settings                show the settings\n"
    L"  settings log|priority|schedule TEXT     settings exclude PATH[,PATH...]\n"
    L"  sleep MS, help, exit\n";

GuiOptions ParseGuiOptions(int argc, wchar_t** argv) {
  GuiOptions o;
  for (int i = 1; i < argc; ++i) {
    const std::wstring a = argv[i];
    const bool hasValue = i + 1 < argc;
    std::uint64_t n = 0;
    if (a == L"--help" || a == L"-h" || a == L"/?") {
      o.help = true;
    } else if (a == L"--machine" && hasValue) {
      o.machine = argv[++i];
    } else if (a == L"--script" && hasValue) {
      o.script = argv[++i];
      o.scripted = true;
    } else if (a == L"--timeout" && hasValue) {
      if (!ParseUnsigned(argv[++i], n) || n == 0 || n > 3600) o.error = L"--timeout takes 1 to 3600 seconds.";
      o.stepTimeoutMs = static_cast<DWORD>(n * 1000);
    } else if (a == L"--map" && hasValue) {
      if (!ParseUnsigned(argv[++i], n) || n == 0 || n > 50000) o.error = L"--map takes 1 to 50000 blocks.";
      o.mapBlocks = static_cast<std::uint32_t>(n);
    } else if (a == L"--trace" && hasValue) {
      o.traceFile = argv[++i];
    } else if (a == L"--columns" && hasValue) {
      if (!ParseUnsigned(argv[++i], n) || n == 0 || n > 400) o.error = L"--columns takes 1 to 400.";
      o.mapColumns = static_cast<std::size_t>(n);
    } else {
      o.error = L"Unknown option or missing value: " + a + L".";
    }
  }
  if (o.machine.empty()) o.machine = ThisComputerName();
  return o;
}

std::vector<std::wstring> SplitScript(const std::wstring& script) {
  std::vector<std::wstring> steps;
  std::wstring current;
  for (wchar_t c : script + L";") {
    if (c == L';' || c == L'\n') {
      const std::wstring step = Trim(current);
      if (!step.empty()) steps.push_back(step);
      current.clear();
    } else {
      current += c;
    }
  }
  return steps;
}

GuiSession::GuiSession(const GuiOptions& options)
    : m_options(options),
      m_model(CreateEngineObject,
              [this](int drive, IDataObject* engine) { OnEngineStarted(drive, engine); }),
      m_machine(options.machine) {}

// The module's thread: an engine has started; ask for its display data through the engine
// object (the module only posts it on, so this does not wait for the module).
void GuiSession::OnEngineStarted(int, IDataObject* engine) {
  DisplaySizeBody sizes{m_options.mapBlocks, m_options.mapBlocks};
  SendDataIo(engine, TW4_5::ID_SETDISPDIMENSIONS, &sizes, sizeof(sizes));
}

bool GuiSession::Connect() {
  CLSID ownClass;
  if (FAILED(CoCreateGuid(&ownClass)) || FAILED(m_model.Classes().Register(ownClass, -1))) {
    ErrLine(L"The GUI's own data object could not be offered to COM.");
    return false;
  }
  HRESULT hr = CreatePseudoService(m_service);
  if (FAILED(hr)) {
    ErrLine(ExplainActivationFailure(hr));
    return false;
  }
  const std::vector<BYTE> machine = TextBody(m_machine);
  hr = SendDataIo(m_service.get(), TW4_5::ID_INIT_PIPE_COM, machine.data(), machine.size());
  if (FAILED(hr)) {
    ErrLine(ExplainConnectFailure(m_machine));
    return false;
  }
  CommInitBody init{};
  UniqueCoTaskString text;
  if (FAILED(StringFromCLSID(ownClass, text.put()))) return false;
  CopyToField(init.szClsid, text.get());
  hr = SendDataIo(m_service.get(), TW4_5::ID_INIT_SERVICE_COMM, &init, sizeof(init));
  if (FAILED(hr)) {
    ErrLine(L"The module refused the GUI's data object.");
    return false;
  }
  if (!m_model.WaitUntil([](const SessionState& s) { return s.driveLists > 0; }, kDriveListWaitMs)) {
    ErrLine(L"The Tarnswell service on " + m_machine + L" did not send its list of drives.");
    return false;
  }
  m_connected = true;
  OutLine(L"Connected to the Tarnswell service on " + m_machine + L".");
  Out(DriveListView(m_model.Snapshot(), m_machine));
  return true;
}

int GuiSession::DriveArgument(const std::vector<std::wstring>& args) {
  if (args.size() < 2) {
    ErrLine(L"Name a drive, for example: " + args[0] + L" C");
    return -1;
  }
  std::wstring name = args[1];
  if (name.size() == 2 && name[1] == L':') name.pop_back();
  const int drive = name.size() == 1 ? DriveIndex(name[0]) : -1;
  if (drive < 0) {
    ErrLine(L"\"" + args[1] + L"\" is not a drive letter.");
    return -1;
  }
  if (!m_model.Snapshot().drives[drive].listed) {
    ErrLine(L"There is no drive " + DriveName(drive) + L" on " + m_machine + L".");
    return -1;
  }
  return drive;
}

void GuiSession::ShowNewMessages(const SessionState& state) {
  while (m_messagesShown < state.messages.size()) {
    if (m_progressOnLine) {
      Out(L"\n");
      m_progressOnLine = false;
    }
    OutLine(L"The service says: " + state.messages[m_messagesShown++]);
  }
}

void GuiSession::ShowProgress(const SessionState& state) {
  ShowNewMessages(state);
  if (StdoutIsConsole()) {
    const std::wstring line = ProgressLine(state);
    if (!line.empty()) {
      Out(L"\r" + line + L"   ");
      m_progressOnLine = true;
    }
    return;
  }
  // Output to a file or a pipe: a line whenever a drive reaches the next tenth.
  for (int i = 0; i < 26; ++i) {
    const DriveState& d = state.drives[i];
    if (!d.running || !d.statusThisOperation) continue;
    const std::uint32_t tenth = d.percent / 10 + 1;
    if (tenth != m_lastShown[i]) {
      m_lastShown[i] = tenth;
      OutLine(ProgressBar(d));
    }
  }
}

ComPtr<IDataObject> GuiSession::RunningEngine(int drive, const wchar_t* verb) {
  const DriveState d = m_model.Snapshot().drives[drive];
  ComPtr<IDataObject> engine = m_model.EngineObject(drive);
  if (!d.running || !engine) {
    ErrLine(std::wstring(L"Nothing runs on drive ") + DriveName(drive) + L" to " + verb + L".");
    return nullptr;
  }
  return engine;
}

bool GuiSession::Operation(int drive, std::uint32_t operation, bool wait) {
  const SessionState before = m_model.Snapshot();
  const DriveState& was = before.drives[drive];
  if (was.running) {
    ErrLine(L"Drive " + DriveName(drive) + L" is busy with its " + OperationName(was.operation) + L".");
    return false;
  }
  m_model.BeginOperation(drive, operation);
  std::fill(std::begin(m_lastShown), std::end(m_lastShown), 0u);
  DriveCommandBody body{};
  body.cDrive = static_cast<WCHAR>(L'A' + drive);
  // A drive whose engine object exists takes its commands there; otherwise the service object.
  ComPtr<IDataObject> target = m_model.EngineObject(drive);
  if (!target) target = m_service;
  if (FAILED(SendDataIo(target.get(), operation == 1 ? TW4_5::ID_ANALYZE : TW4_5::ID_DEFRAG, &body, sizeof(body)))) {
    ErrLine(L"The module did not take the command.");
    return false;
  }
  const std::wstring what = Capitalised(OperationName(operation)) + L" of " + DriveName(drive);
  const std::size_t messages = before.messages.size();
  const bool answered = m_model.WaitUntil(
      [&](const SessionState& s) {
        return s.drives[drive].engineStarts > was.engineStarts || s.drives[drive].endScans > was.endScans ||
               s.messages.size() > messages;
      },
      kEngineStartWaitMs, [this](const SessionState& s) { ShowProgress(s); });
  const SessionState now = m_model.Snapshot();
  ShowNewMessages(now);
  if (now.drives[drive].engineStarts == was.engineStarts && now.drives[drive].endScans == was.endScans) {
    ErrLine(answered ? what + L" was refused by the service."
                     : L"The service did not start the " + OperationName(operation) + L" of " + DriveName(drive) +
                           L".");
    return false;
  }
  if (!wait) {
    OutLine(what + L" started.");
    return true;
  }
  return WaitForEnd(drive, was.endScans, what.c_str());
}

bool GuiSession::WaitForEnd(int drive, std::uint64_t endScansBefore, const wchar_t* what) {
  const bool ended = m_model.WaitUntil([&](const SessionState& s) { return s.drives[drive].endScans > endScansBefore; },
                                       m_options.stepTimeoutMs, [this](const SessionState& s) { ShowProgress(s); });
  // The status that follows the end carries the final state.
  m_model.WaitUntil(
      [&](const SessionState& s) {
        const auto state = s.drives[drive].engineState;
        return state == kGuiEngineAnalyzeEnded || state == kGuiEngineDefragEnded;
      },
      ended ? 2000 : 0);
  const SessionState now = m_model.Snapshot();
  ShowNewMessages(now);
  if (ended) {
    // The last bar: the drive's final state at 100 %.
    Out(StdoutIsConsole() ? L"\r" + ProgressBar(now.drives[drive]) + L"   \n" : ProgressBar(now.drives[drive]) + L"\n");
  } else if (m_progressOnLine) {
    Out(L"\n");
  }
  m_progressOnLine = false;
  if (!ended) {
    ErrLine(std::wstring(what) + L" did not finish within " + std::to_wstring(m_options.stepTimeoutMs / 1000) +
            L" seconds.");
    return false;
  }
  OutLine(std::wstring(what) + L" finished: drive " + EngineStateName(now.drives[drive].engineState) + L".");
  RefreshMap(drive);
  const SessionState after = m_model.Snapshot();
  Out(StatisticsView(after.drives[drive]));
  Out(MapView(after.drives[drive], m_options.mapColumns));
  return true;
}

bool GuiSession::RefreshMap(int drive) {
  ComPtr<IDataObject> engine = m_model.EngineObject(drive);
  if (!engine) return false;
  const std::uint64_t maps = m_model.Snapshot().drives[drive].maps;
  DisplaySizeBody sizes{m_options.mapBlocks, m_options.mapBlocks};
  if (FAILED(SendDataIo(engine.get(), TW4_5::ID_SETDISPDIMENSIONS, &sizes, sizeof(sizes)))) return false;
  return m_model.WaitUntil([&](const SessionState& s) { return s.drives[drive].maps > maps; }, kMapWaitMs);
}

bool GuiSession::Pause(int drive) {
  ComPtr<IDataObject> engine = RunningEngine(drive, L"pause");
  if (!engine) return false;
  const std::uint64_t pauses = m_model.Snapshot().drives[drive].pauses;
  SendDataIo(engine.get(), TW4_5::ID_PAUSE, nullptr, 0);
  if (!m_model.WaitUntil([&](const SessionState& s) { return s.drives[drive].pauses > pauses; }, kAnswerWaitMs)) {
    ErrLine(L"The engine of " + DriveName(drive) + L" did not pause.");
    return false;
  }
  OutLine(L"Drive " + DriveName(drive) + L" paused at " + std::to_wstring(m_model.Snapshot().drives[drive].percent) +
          L" %.");
  return true;
}

bool GuiSession::Continue(int drive) {
  ComPtr<IDataObject> engine = RunningEngine(drive, L"continue");
  if (!engine) return false;
  const std::uint64_t continues = m_model.Snapshot().drives[drive].continues;
  SendDataIo(engine.get(), TW4_5::ID_CONTINUE, nullptr, 0);
  if (!m_model.WaitUntil([&](const SessionState& s) { return s.drives[drive].continues > continues; },
                         kAnswerWaitMs)) {
    ErrLine(L"The engine of " + DriveName(drive) + L" did not continue.");
    return false;
  }
  OutLine(L"Drive " + DriveName(drive) + L" continues.");
  return true;
}

bool GuiSession::Stop(int drive) {
  ComPtr<IDataObject> engine = RunningEngine(drive, L"stop");
  if (!engine) return false;
  const DriveState d = m_model.Snapshot().drives[drive];
  SendDataIo(engine.get(), TW4_5::ID_STOP, nullptr, 0);
  if (!m_model.WaitUntil([&](const SessionState& s) { return s.drives[drive].endScans > d.endScans; },
                         m_options.stepTimeoutMs)) {
    ErrLine(L"The engine of " + DriveName(drive) + L" did not stop.");
    return false;
  }
  OutLine(L"The " + OperationName(d.operation) + L" of " + DriveName(drive) + L" was stopped at " +
          std::to_wstring(d.percent) + L" %.");
  return true;
}

bool GuiSession::Abort(int drive) {
  ComPtr<IDataObject> engine = RunningEngine(drive, L"abort");
  if (!engine) return false;
  const std::size_t terminations = m_model.Snapshot().terminations.size();
  SendDataIo(engine.get(), TW4_5::ID_ABORT, nullptr, 0);
  if (!m_model.WaitUntil([&](const SessionState& s) { return s.terminations.size() > terminations; },
                         kAnswerWaitMs)) {
    ErrLine(L"The module did not confirm the abort of " + DriveName(drive) + L".");
    return false;
  }
  OutLine(L"The engine of " + DriveName(drive) + L" is terminating.");
  return true;
}

bool GuiSession::Report(int drive) {
  // The report comes with the end of an operation, just before or just after it.
  if (!m_model.WaitUntil([&](const SessionState& s) { return s.drives[drive].hasReport; }, kAnswerWaitMs)) {
    ErrLine(L"No fragmented-file report has come for drive " + DriveName(drive) +
            L": analyse or defragment it first.");
    return false;
  }
  Out(ReportView(m_model.Snapshot().drives[drive]));
  return true;
}

bool GuiSession::Refresh() {
  const std::uint64_t lists = m_model.Snapshot().driveLists;
  SendDataIo(m_service.get(), TW4_5::ID_REQUEST_DRIVE_DATA, nullptr, 0);
  if (!m_model.WaitUntil([&](const SessionState& s) { return s.driveLists > lists; }, kAnswerWaitMs)) {
    ErrLine(L"The service did not send its list of drives again.");
    return false;
  }
  Out(DriveListView(m_model.Snapshot(), m_machine));
  return true;
}

bool GuiSession::RequestSettings() {
  const SettingsState before = m_model.Snapshot().settings;
  SendDataIo(m_service.get(), TW4_5::ID_REQUEST_LOG_DATA, nullptr, 0);
  SendDataIo(m_service.get(), TW4_5::ID_REQUEST_PRIORITY_DATA, nullptr, 0);
  SendDataIo(m_service.get(), TW4_5::ID_REQUEST_SCHEDULE_DATA, nullptr, 0);
  SendDataIo(m_service.get(), TW4_5::ID_REQUEST_EXCLUDE_DATA, nullptr, 0);
  return m_model.WaitUntil(
      [&](const SessionState& s) {
        return s.settings.logs > before.logs && s.settings.priorities > before.priorities &&
               s.settings.schedules > before.schedules && s.settings.exclusionLists > before.exclusionLists;
      },
      kAnswerWaitMs);
}

bool GuiSession::Settings(const std::vector<std::wstring>& args) {
  if (args.size() >= 3) {
    const std::wstring what = args[1];
    std::wstring value;
    for (std::size_t i = 2; i < args.size(); ++i) value += (i == 2 ? L"" : L" ") + args[i];
    std::vector<BYTE> body;
    std::uint32_t command = 0;
    std::vector<std::wstring> exclusions;
    if (what == L"log") {
      command = TW4_5::ID_SAVE_LOG_DATA;
    } else if (what == L"priority") {
      command = TW4_5::ID_SAVE_PRIORITY_DATA;
    } else if (what == L"schedule") {
      command = TW4_5::ID_SAVE_SCHEDULING;
    } else if (what == L"exclude") {
      command = TW4_5::ID_SAVE_EXCLUDE_DATA;
      std::wstring item;
      for (wchar_t c : value + L",") {
        if (c == L',') {
          if (!Trim(item).empty()) exclusions.push_back(Trim(item));
          item.clear();
        } else {
          item += c;
        }
      }
      // The list: each path terminated, then an empty one. The module puts the fixed part in
      // front of it.
      for (const auto& e : exclusions) {
        const auto bytes = TextBody(e);
        body.insert(body.end(), bytes.begin(), bytes.end());
      }
      body.push_back(0);
      body.push_back(0);
    } else {
      ErrLine(L"Settings are log, priority, schedule or exclude.");
      return false;
    }
    if (body.empty()) body = TextBody(value);
    SendDataIo(m_service.get(), command, body.data(), body.size());
    if (!RequestSettings()) {
      ErrLine(L"The service did not send its settings back.");
      return false;
    }
    const SettingsState s = m_model.Snapshot().settings;
    const bool kept = what == L"log"        ? s.log == value
                      : what == L"priority" ? s.priority == value
                      : what == L"schedule" ? s.schedule == value
                                            : s.exclusions == exclusions;
    if (!kept) {
      ErrLine(L"The service did not keep the " + what + L" settings.");
      return false;
    }
    OutLine(L"Saved the " + what + L" settings; the service keeps them.");
    Out(SettingsView(s));
    return true;
  }
  if (!RequestSettings()) {
    ErrLine(L"The service did not send its settings.");
    return false;
  }
  Out(SettingsView(m_model.Snapshot().settings));
  return true;
}

bool GuiSession::Run(const std::wstring& command, bool& exited) {
  const std::vector<std::wstring> args = Words(command);
  if (args.empty()) return true;
  const std::wstring verb = ToUpper(args[0]);
  auto driveThen = [&](auto action) {
    const int drive = DriveArgument(args);
    return drive >= 0 && action(drive);
  };
  const bool nowait = args.size() >= 3 && ToUpper(args[2]) == L"NOWAIT";

  if (verb == L"HELP") {
    Out(kGuiUsage);
    return true;
  }
  if (verb == L"DRIVES") {
    Out(DriveListView(m_model.Snapshot(), m_machine));
    return true;
  }
  if (verb == L"REFRESH") return Refresh();
  if (verb == L"ANALYZE" || verb == L"ANALYSE") return driveThen([&](int d) { return Operation(d, 1, !nowait); });
  if (verb == L"DEFRAG" || verb == L"DEFRAGMENT") return driveThen([&](int d) { return Operation(d, 2, !nowait); });
  if (verb == L"WAIT") {
    return driveThen([&](int d) {
      const DriveState s = m_model.Snapshot().drives[d];
      if (!s.running) {
        OutLine(L"Nothing runs on drive " + DriveName(d) + L".");
        return true;
      }
      const std::wstring what = Capitalised(OperationName(s.operation)) + L" of " + DriveName(d);
      return WaitForEnd(d, s.endScans, what.c_str());
    });
  }
  if (verb == L"PAUSE") return driveThen([&](int d) { return Pause(d); });
  if (verb == L"CONTINUE") return driveThen([&](int d) { return Continue(d); });
  if (verb == L"STOP") return driveThen([&](int d) { return Stop(d); });
  if (verb == L"ABORT") return driveThen([&](int d) { return Abort(d); });
  if (verb == L"REPORT") return driveThen([&](int d) { return Report(d); });
  if (verb == L"STATS") return driveThen([&](int d) {
    Out(StatisticsView(m_model.Snapshot().drives[d]));
    return true;
  });
  if (verb == L"MAP") return driveThen([&](int d) {
    RefreshMap(d);
    Out(MapView(m_model.Snapshot().drives[d], m_options.mapColumns));
    return true;
  });
  if (verb == L"CURRENT") return driveThen([&](int d) {
    CurrentDriveBody body{static_cast<WCHAR>(L'A' + d), 0};
    SendDataIo(m_service.get(), TW4_5::ID_CURRENT_DRIVE, &body, sizeof(body));
    OutLine(L"Drive " + DriveName(d) + L" is the current drive.");
    return true;
  });
  if (verb == L"STATUS") {
    const SessionState s = m_model.Snapshot();
    ShowNewMessages(s);
    bool any = false;
    for (const auto& d : s.drives) {
      if (d.running) {
        OutLine(ProgressBar(d));
        any = true;
      }
    }
    if (!any) OutLine(L"No engine runs.");
    return true;
  }
  if (verb == L"SETTINGS") return Settings(args);
  if (verb == L"SLEEP") {
    std::uint64_t ms = 0;
    if (args.size() < 2 || !ParseUnsigned(args[1], ms) || ms > 600000) {
      ErrLine(L"sleep takes milliseconds, at most 600000.");
      return false;
    }
    m_model.WaitUntil([](const SessionState&) { return false; }, static_cast<DWORD>(ms),
                      [this](const SessionState& s) { ShowProgress(s); });
    return true;
  }
  if (verb == L"EXIT" || verb == L"QUIT") {
    exited = true;
    return Exit();
  }
  ErrLine(L"Unknown command \"" + args[0] + L"\". Type help for the commands.");
  return false;
}

bool GuiSession::Exit() {
  if (!m_service) return true;
  const SessionState state = m_model.Snapshot();
  const ULONGLONG start = GetTickCount64();
  const HRESULT hr = SendDataIo(m_service.get(), TW4_5::ID_FENUI_EXIT, nullptr, 0);
  const ULONGLONG took = GetTickCount64() - start;
  bool ok = true;
  if (FAILED(hr)) {
    ErrLine(L"The module refused the exit.");
    ok = false;
  } else if (took >= 29000) {
    ErrLine(L"The module did not confirm the exit: it gave up waiting after 30 seconds.");
    ok = false;
  } else {
    m_shutDown = true;
  }
  m_model.ReleaseEngineObjects();
  m_service.reset();
  m_model.Classes().RevokeAll();
  if (!m_connected) return ok;  // nothing of a session to look at
  OutLine(L"Disconnected from the Tarnswell service.");

  // The engine classes the module registered for this session must be gone: from the registry,
  // and from COM's table of class objects, which would otherwise point into the module after
  // it is unloaded.
  std::size_t classes = 0, inRegistry = 0, withCom = 0;
  for (int i = 0; i < 26; ++i) {
    for (const auto& engineClass : state.drives[i].engineClasses) {
      ++classes;
      UniqueHKey key;
      const bool present = RegOpenKeyExW(HKEY_CLASSES_ROOT, (L"CLSID\\" + engineClass).c_str(), 0, KEY_READ,
                                         key.put()) == ERROR_SUCCESS;
      CLSID clsid;
      ComPtr<IClassFactory> factory;
      const bool offered = SUCCEEDED(CLSIDFromString(engineClass.c_str(), &clsid)) &&
                           SUCCEEDED(CoGetClassObject(clsid, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                                                      reinterpret_cast<void**>(factory.put())));
      factory.reset();
      OutLine(L"  Engine class " + engineClass + L" (drive " + DriveName(i) + L") " +
              (present ? L"is still registered" : L"removed") + (offered ? L", still offered to COM" : L""));
      inRegistry += present;
      withCom += offered;
    }
  }
  if (inRegistry != 0) {
    ErrLine(L"The module left " + std::to_wstring(inRegistry) + L" engine class keys in the registry.");
    ok = false;
  } else {
    OutLine(L"No engine class key is left (" + std::to_wstring(classes) + L" were made).");
  }

  // With no object of the module left, the module must agree to be unloaded, and COM unloads it.
  const std::wstring modulePath = RegisteredModulePath();
  HMODULE module = modulePath.empty() ? nullptr : GetModuleHandleW(modulePath.c_str());
  if (module != nullptr && withCom != 0) {
    ErrLine(L"The module still offers " + std::to_wstring(withCom) +
            L" engine classes to COM: unloading it would leave COM pointing into freed code, so it stays loaded.");
    ok = false;
  } else if (module != nullptr) {
    using CanUnload = HRESULT(STDAPICALLTYPE*)();
    auto canUnload = reinterpret_cast<CanUnload>(reinterpret_cast<void*>(GetProcAddress(module, "DllCanUnloadNow")));
    const HRESULT unload = canUnload != nullptr ? canUnload() : E_NOTIMPL;
    if (unload != S_OK) {
      ErrLine(L"The module still has live objects: it cannot be unloaded.");
      ok = false;
    } else {
      bool unloaded = false;
      for (int i = 0; i < 30 && !unloaded; ++i) {
        CoFreeUnusedLibrariesEx(0, 0);
        unloaded = GetModuleHandleW(modulePath.c_str()) == nullptr;
        if (!unloaded) Sleep(100);
      }
      OutLine(unloaded ? L"The module was unloaded."
                       : L"The module can be unloaded (it has no live objects); COM keeps it loaded for now.");
    }
  } else {
    OutLine(L"The module was unloaded.");
  }
  return ok;
}
