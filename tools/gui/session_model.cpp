#include "gui/session_model.h"

#include <chrono>
#include <cstring>

#include "common/gui_wire.h"
#include "common/text.h"
#include "handoff/commands.h"

int DriveIndex(WCHAR letter) {
  if (letter >= L'a' && letter <= L'z') letter = static_cast<WCHAR>(letter - L'a' + L'A');
  return letter >= L'A' && letter <= L'Z' ? letter - L'A' : -1;
}

WCHAR LetterOfVolumePath(const std::wstring& path) {
  // "\\.\C:\": the letter follows the four-character device prefix.
  if (path.size() < 6 || path.compare(0, 4, L"\\\\.\\") != 0 || path[5] != L':') return 0;
  return DriveIndex(path[4]) >= 0 ? path[4] : 0;
}

namespace {

template <typename T>
bool ReadStruct(const std::vector<BYTE>& body, T& out) {
  if (body.size() < sizeof(T)) return false;
  std::memcpy(&out, body.data(), sizeof(T));
  return true;
}

std::vector<std::wstring> ReadMultiText(const BYTE* data, std::size_t bytes) {
  std::vector<std::wstring> items;
  const auto* p = reinterpret_cast<const WCHAR*>(data);
  const std::size_t units = bytes / sizeof(WCHAR);
  std::size_t i = 0;
  while (i < units) {
    std::size_t start = i;
    while (i < units && p[i] != L'\0') ++i;
    if (i == start) break;  // the empty item ends the list
    items.emplace_back(p + start, i - start);
    ++i;
  }
  return items;
}

}  // namespace

bool ParseFragReport(const std::vector<BYTE>& body, FragReport& report) {
  TransferBufferHead head;
  if (!ReadStruct(body, head)) return false;
  report = FragReport();
  report.volume = ReadField(head.szVolume);
  report.announced = head.dwCount;
  std::size_t offset = sizeof(head);
  for (std::uint32_t i = 0; i < head.dwCount; ++i) {
    if (body.size() - offset < sizeof(TransferRecordHead)) return false;
    TransferRecordHead record;
    std::memcpy(&record, body.data() + offset, sizeof(record));
    offset += sizeof(record);
    // The path runs to its terminator, which must lie inside the buffer.
    const auto* path = reinterpret_cast<const WCHAR*>(body.data() + offset);
    const std::size_t room = (body.size() - offset) / sizeof(WCHAR);
    std::size_t length = 0;
    while (length < room && path[length] != L'\0') ++length;
    if (length == room) return false;
    FragEntry entry;
    entry.size = record.llFileSize;
    entry.sizeText = ReadField(record.szFileSize);
    entry.fragments = record.llFragments;
    entry.fragmentsText = ReadField(record.szFragments);
    entry.path.assign(path, length);
    report.files.push_back(std::move(entry));
    offset += (length + 1) * sizeof(WCHAR);
  }
  return true;
}

SessionModel::SessionModel(EngineFactory factory, EngineStarted started)
    : m_engineFactory(std::move(factory)), m_engineStarted(std::move(started)) {}

void SessionModel::Problem(const std::wstring& text) { m_state.problems.push_back(text); }

// The module's thread: one packet for the GUI's own object (-1) or a drive's object.
void SessionModel::OnPacket(int drive, std::uint32_t command, std::vector<BYTE> body) noexcept {
  try {
    std::vector<std::pair<CLSID, int>> classes;
    CLSID engineClass{};
    bool wantEngine = false;
    ComPtr<IDataObject> startedEngine;
    {
      std::lock_guard<std::mutex> lock(m_lock);
      if (drive < 0) {
        if (command == TW4_5::ID_RECEIVE_DRIVE_DATA) {
          ReadDriveList(body, classes);
        } else {
          HandleOwn(command, body);
        }
      } else if (command == TW4_5::ID_INIT_ENGINE_COMM) {
        CommInitBody init;
        if (ReadStruct(body, init)) {
          const std::wstring text = ReadField(init.szClsid);
          wantEngine = SUCCEEDED(CLSIDFromString(text.c_str(), &engineClass));
          if (wantEngine) {
            m_state.drives[drive].engineClass = text;
            m_state.drives[drive].engineClasses.push_back(text);
          }
        }
        if (!wantEngine) Problem(L"ID_INIT_ENGINE_COMM without a class identifier");
      } else {
        bool started = false;
        HandleDrive(drive, command, body, started);
        if (started) startedEngine = m_engines[drive];
      }
      ++m_state.changes;
    }
    // Outside the lock: COM calls that may take a moment.
    for (const auto& [clsid, index] : classes) m_classes.Register(clsid, index);
    if (startedEngine && m_engineStarted) m_engineStarted(drive, startedEngine.get());
    if (wantEngine && m_engineFactory) {
      ComPtr<IDataObject> engine = m_engineFactory(engineClass);
      std::lock_guard<std::mutex> lock(m_lock);
      if (engine) {
        m_engines[drive] = std::move(engine);
      } else {
        Problem(L"the engine object of drive " + std::wstring(1, static_cast<wchar_t>(L'A' + drive)) +
                L": could not be created");
      }
      ++m_state.changes;
    }
    m_changed.notify_all();
  } catch (...) {
    // Out of memory: the packet is lost; the session goes on.
  }
}

void SessionModel::ReadDriveList(const std::vector<BYTE>& body, std::vector<std::pair<CLSID, int>>& classes) {
  if (body.size() < kDriveListBodySize) {
    Problem(L"a drive list of " + std::to_wstring(body.size()) + L" bytes (too short)");
    return;
  }
  for (int i = 0; i < 26; ++i) {
    DriveListRecord record;
    std::memcpy(&record, body.data() + static_cast<std::size_t>(i) * sizeof(record), sizeof(record));
    DriveState& d = m_state.drives[i];
    d.letter = static_cast<WCHAR>(L'A' + i);
    d.volumePath = ReadField(record.szVolumePath);
    d.fileSystem = ReadField(record.szFileSystem);
    d.listed = !d.fileSystem.empty();
    d.guiClsid = ReadField(record.szGuiDriveClsid);
    CLSID clsid;
    if (!d.guiClsid.empty() && SUCCEEDED(CLSIDFromString(d.guiClsid.c_str(), &clsid))) classes.emplace_back(clsid, i);
  }
  ++m_state.driveLists;
}

void SessionModel::HandleOwn(std::uint32_t command, const std::vector<BYTE>& body) {
  SettingsState& s = m_state.settings;
  switch (command) {
    case TW4_5::ID_RECEIVE_LOG_DATA:
      s.log = ReadText(body.data(), body.size());
      ++s.logs;
      break;
    case TW4_5::ID_RECEIVE_PRIORITY_DATA:
      s.priority = ReadText(body.data(), body.size());
      ++s.priorities;
      break;
    case TW4_5::ID_RECEIVE_SCHEDULE_DATA:
      s.schedule = ReadText(body.data(), body.size());
      ++s.schedules;
      break;
    case TW4_5::ID_RECEIVE_EXCLUDE_DATA: {
      // The machine name and its terminator, the fixed part, then the list.
      s.exclusionMachine = ReadText(body.data(), body.size());
      const std::size_t skip = (s.exclusionMachine.size() + 1) * sizeof(WCHAR) + 7696;
      s.exclusions = body.size() > skip ? ReadMultiText(body.data() + skip, body.size() - skip)
                                        : std::vector<std::wstring>();
      ++s.exclusionLists;
      break;
    }
    case TW4_5::ID_DISPLAY_MESSAGEBOX:
      m_state.messages.push_back(ReadText(body.data(), body.size()));
      break;
    case TW4_5::ID_ENGINE_TERMINATING:
      m_state.terminations.push_back(ReadText(body.data(), body.size()));
      break;
    default:
      break;
  }
}

void SessionModel::HandleDrive(int drive, std::uint32_t command, const std::vector<BYTE>& body,
                               bool& engineStarted) {
  DriveState& d = m_state.drives[drive];
  switch (command) {
    case TW4_5::ID_ENGINE_START: {
      EngineInfoBody info;
      if (!ReadStruct(body, info)) return Problem(L"a short ID_ENGINE_START");
      d.operation = info.dwAnalyzeOrDefrag;
      const std::wstring fs = ReadField(info.szFileSystem);
      if (!fs.empty()) d.fileSystem = fs;
      if (!d.running) engineStarted = true;
      d.running = true;
      d.paused = false;
      ++d.engineStarts;
      break;
    }
    case TW4_5::ID_STATUS: {
      StatusBody status;
      if (!ReadStruct(body, status)) return Problem(L"a short ID_STATUS");
      d.percent = status.dwPercentDone;
      d.engineState = status.dwEngineState;
      d.statusThisOperation = true;
      ++d.statuses;
      break;
    }
    case TW4_5::ID_DISP_DATA: {
      DisplayDataHead head;
      if (!ReadStruct(body, head)) return Problem(L"a short ID_DISP_DATA");
      d.statistics = ReadVolumeSummary(head.Statistics);
      d.hasStatistics = true;
      const std::size_t length = head.dwAnalyzeLength != 0 ? head.dwAnalyzeLength : head.dwDefragLength;
      if (length != 0) {
        if (length > body.size() - sizeof(head)) return Problem(L"an ID_DISP_DATA shorter than its display data");
        d.map.assign(body.begin() + sizeof(head), body.begin() + static_cast<std::ptrdiff_t>(sizeof(head) + length));
        ++d.maps;
      }
      break;
    }
    case TW4_5::ID_END_SCAN: {
      EngineInfoBody info;
      if (ReadStruct(body, info)) d.operation = info.dwAnalyzeOrDefrag;
      d.running = false;
      d.paused = false;
      ++d.endScans;
      break;
    }
    case TW4_5::ID_FRAGGED_DATA: {
      FragReport report;
      if (!ParseFragReport(body, report)) return Problem(L"a fragmented-file report that is cut short");
      d.report = std::move(report);
      d.hasReport = true;
      ++d.reports;
      break;
    }
    case TW4_5::ID_PAUSE:
      d.paused = true;
      ++d.pauses;
      break;
    case TW4_5::ID_CONTINUE:
      d.paused = false;
      ++d.continues;
      break;
    default:
      break;  // ID_BEGIN_SCAN and others: nothing the stand-in shows
  }
}

SessionState SessionModel::Snapshot() const {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_state;
}

ComPtr<IDataObject> SessionModel::EngineObject(int drive) const {
  std::lock_guard<std::mutex> lock(m_lock);
  return drive >= 0 && drive < 26 ? m_engines[drive] : ComPtr<IDataObject>();
}

void SessionModel::BeginOperation(int drive, std::uint32_t operation) {
  std::lock_guard<std::mutex> lock(m_lock);
  DriveState& d = m_state.drives[drive];
  d.operation = operation;
  d.percent = 0;
  d.statusThisOperation = false;
  d.hasReport = false;
  d.report = FragReport();
}

bool SessionModel::WaitUntil(const std::function<bool(const SessionState&)>& done, DWORD timeoutMs,
                             const std::function<void(const SessionState&)>& onChange) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  std::unique_lock<std::mutex> lock(m_lock);
  std::uint64_t seen = m_state.changes;
  for (;;) {
    if (done(m_state)) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    m_changed.wait_until(lock, std::min(deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(250)),
                         [&] { return m_state.changes != seen; });
    seen = m_state.changes;
    if (onChange) {
      const SessionState copy = m_state;
      lock.unlock();
      onChange(copy);
      lock.lock();
    }
  }
}

void SessionModel::ReleaseEngineObjects() {
  std::array<ComPtr<IDataObject>, 26> engines;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    engines.swap(m_engines);
  }
  // Released here, outside the lock.
}
