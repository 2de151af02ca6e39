#pragma once
// What the GUI stand-in knows of the session, built from the packets the module sets into its
// data objects: the drive list, each drive's engine state and progress, volume statistics,
// drive map and fragmented-file report, the settings, and the texts the service asked to show.
//
// Packets arrive on the module's thread (OnPacket); the main thread reads copies and waits for
// changes. One lock guards everything; every change bumps a counter and wakes the waiters.

#include <windows.h>
#include <objidl.h>

#include <array>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "common/volume_figures.h"
#include "gui/data_objects.h"
#include "shared/owners.h"

struct FragEntry {
  std::int64_t size = 0;
  std::wstring sizeText;  // as the module made it
  std::int64_t fragments = 0;
  std::wstring fragmentsText;
  std::wstring path;
};

struct FragReport {
  std::wstring volume;
  std::uint32_t announced = 0;  // the count in the buffer's head
  std::vector<FragEntry> files;
};

// The transfer buffer of ID_FRAGGED_DATA read with every length checked. False when it is cut.
bool ParseFragReport(const std::vector<BYTE>& body, FragReport& report);

struct DriveState {
  bool listed = false;          // in the drive list with a file system
  WCHAR letter = 0;
  std::wstring volumePath;
  std::wstring fileSystem;
  std::wstring guiClsid;        // the class the module reaches this drive's object by
  std::uint32_t operation = 0;  // 1 analysis, 2 defragmentation (as last asked or told)
  std::uint32_t engineState = 0;
  std::uint32_t percent = 0;
  bool running = false;         // between the engine start and the end of the scan
  bool paused = false;
  bool statusThisOperation = false;  // a status has come since the operation was asked for
  std::uint64_t engineStarts = 0, endScans = 0, statuses = 0, pauses = 0, continues = 0;
  bool hasStatistics = false;
  VolumeSummary statistics;
  std::vector<std::uint8_t> map;
  std::uint64_t maps = 0;
  bool hasReport = false;
  FragReport report;
  std::uint64_t reports = 0;
  std::wstring engineClass;                // the newest engine class of the drive
  std::vector<std::wstring> engineClasses; // every one the module gave this session
};

struct SettingsState {
  std::wstring log, priority, schedule;
  std::wstring exclusionMachine;
  std::vector<std::wstring> exclusions;
  std::uint64_t logs = 0, priorities = 0, schedules = 0, exclusionLists = 0;
};

struct SessionState {
  std::array<DriveState, 26> drives;
  std::uint64_t driveLists = 0;
  SettingsState settings;
  std::vector<std::wstring> messages;      // texts the service asked to show, in order
  std::vector<std::wstring> terminations;  // volume paths of ID_ENGINE_TERMINATING
  std::uint64_t changes = 0;               // bumped by every packet
  std::vector<std::wstring> problems;      // malformed packets, for the person to see
};

class SessionModel : public PacketSink {
 public:
  // Called back when the module gives a drive an engine class, to create the module's engine
  // object for it (on the module's thread, right away, so that the object is bound to the
  // drive the module has just set). Returns the object or null.
  using EngineFactory = std::function<ComPtr<IDataObject>(const CLSID& engineClass)>;
  // Called back (on the module's thread) when an engine starts, to ask for display data.
  using EngineStarted = std::function<void(int drive, IDataObject* engine)>;

  SessionModel(EngineFactory factory, EngineStarted started);

  // The class objects that lead the module to this model's data objects.
  ClassRegistry& Classes() { return m_classes; }

  void OnPacket(int drive, std::uint32_t command, std::vector<BYTE> body) noexcept override;

  // Main thread.
  SessionState Snapshot() const;
  ComPtr<IDataObject> EngineObject(int drive) const;
  // A new operation asked for on a drive: its per-operation results are forgotten.
  void BeginOperation(int drive, std::uint32_t operation);
  // Waits until `done` holds (checked under the lock on every change) or `timeoutMs` passes;
  // `onChange` runs (without the lock) after every change and at least every 250 ms.
  bool WaitUntil(const std::function<bool(const SessionState&)>& done, DWORD timeoutMs,
                 const std::function<void(const SessionState&)>& onChange = nullptr);
  // Lets go of every engine object (before the module is unloaded).
  void ReleaseEngineObjects();

 private:
  void HandleOwn(std::uint32_t command, const std::vector<BYTE>& body);
  void HandleDrive(int drive, std::uint32_t command, const std::vector<BYTE>& body, bool& engineStarted);
  void ReadDriveList(const std::vector<BYTE>& body, std::vector<std::pair<CLSID, int>>& classes);
  void Problem(const std::wstring& text);

  ClassRegistry m_classes{*this};
  EngineFactory m_engineFactory;
  EngineStarted m_engineStarted;
  mutable std::mutex m_lock;
  std::condition_variable m_changed;
  SessionState m_state;
  std::array<ComPtr<IDataObject>, 26> m_engines;
};

// The drive index of a letter in either case, or -1.
int DriveIndex(WCHAR letter);
// The drive letter in a volume path "\\.\C:\", or 0.
WCHAR LetterOfVolumePath(const std::wstring& path);
