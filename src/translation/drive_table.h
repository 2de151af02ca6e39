#pragma once
// The drive table: for every drive letter A to Z, what the GUI has to be told about that drive,
// and the module-wide translation state beside it. Owned by the translation thread; the only
// other writer is StartTranslationLayer, which zeroes it before the translation thread exists.

#include <windows.h>
#include <objidl.h>
#include <cstddef>
#include <cstdint>

#include "translation/volume_statistics.h"

// Engine states as the GUI is told them; the numbers travel in the status body.
enum EngineState : std::uint32_t {
  ENGINE_IDLE = 0,
  ENGINE_STOP_REQUESTED = 1,
  ENGINE_ANALYZING = 2,
  ENGINE_ANALYZE_ENDED = 3,
  ENGINE_DEFRAGGING = 5,
  ENGINE_DEFRAG_ENDED = 6,
};

// dwAnalyzeOrDefrag values.
constexpr std::uint32_t kNoOperation = 0;
constexpr std::uint32_t kOperationAnalyze = 1;
constexpr std::uint32_t kOperationDefrag = 2;

constexpr std::size_t kDriveCount = 26;
constexpr std::size_t kExcludeDataPrefixSize = 7696;

struct DriveEntry {
  BOOL bBeginScanSent;            // ID_BEGIN_SCAN sent for the current operation
  BOOL bEndScanSent;              // ID_END_SCAN sent for the current operation
  IDataObject* pDataIoClient;     // the GUI's data object for this drive; one reference
  std::uint32_t dwEngineState;    // EngineState
  CLSID clsidGuiDrive;            // class the GUI serves its drive object under
  CLSID clsidEngine;              // the drive's engine class, new at each engine start
  WCHAR szVolumePath[51];         // "\\.\C:\" once the GUI asked for an operation
  WCHAR szGuiDriveClsid[52];      // clsidGuiDrive as braced text; empty: none made yet
  WCHAR szEngineClsid[52];        // clsidEngine as braced text; empty: no engine class
  WCHAR szFileSystem[17];         // file system name
  std::uint32_t dwAnalyzeOrDefrag;  // kNoOperation, kOperationAnalyze, kOperationDefrag
  std::uint32_t dwPercentDone;    // overall percent done last computed
  std::uint32_t dwPass;           // pass the percent done is computed from
  VolumeStatistics VolumeStatistics;  // the statistics last sent to the GUI
};

extern DriveEntry g_DriveTable[kDriveCount];

// Module-wide translation state.
extern IDataObject* pdata4_5GUI;       // the GUI's own data object; one reference
extern BOOL g_bDriveDataPending;       // set while the service's first drive data is awaited
extern BOOL g_bGuiAnnounced;           // the session has told the service its receiving pipe
extern WCHAR g_cCurrentDrive;          // the GUI's current drive, 'C' at load
extern BYTE g_ExcludeDataPrefix[kExcludeDataPrefixSize];  // fixed head of exclusion data

// The index of a drive letter: upper-cased, minus 'A', as an unsigned 8-bit number. Only
// 0 to 25 name an entry.
[[nodiscard]] std::uint8_t GetDriveIndex(WCHAR letter) noexcept;
[[nodiscard]] inline bool IsDriveIndex(std::uint8_t index) noexcept { return index < kDriveCount; }
// The entry of a letter, or nullptr when the letter is not A to Z in either case.
[[nodiscard]] DriveEntry* FindDriveEntry(WCHAR letter) noexcept;

// Every field of every entry to 0, null or empty (connections are not released);
// g_bDriveDataPending to 1, g_bGuiAnnounced to 0.
void ZeroDriveTable() noexcept;

// A new operation on a drive: the GUI asked for an analysis or a defragmentation.
void StartNewOperation(DriveEntry& entry, WCHAR letter, std::uint32_t analyzeOrDefrag) noexcept;

// Makes the GUI drive class identity once; later calls change nothing.
void MakeGuiDriveClsid(DriveEntry& entry) noexcept;

// The three bodies in which a drive's state is reported to the GUI.
#pragma pack(push, 1)
struct VolumePathBody {
  WCHAR szVolumePath[51];
};
struct StatusBody {
  WCHAR szVolumePath[52];
  std::uint32_t dwPercentDone;
  std::uint32_t dwEngineState;
};
struct EngineInfoBody {
  WCHAR szVolumePath[51];
  WCHAR szFileSystem[17];
  std::uint32_t dwAnalyzeOrDefrag;
};
#pragma pack(pop)

static_assert(sizeof(VolumePathBody) == 102);
static_assert(sizeof(StatusBody) == 112);
static_assert(offsetof(StatusBody, dwPercentDone) == 104);
static_assert(offsetof(StatusBody, dwEngineState) == 108);
static_assert(sizeof(EngineInfoBody) == 140);
static_assert(offsetof(EngineInfoBody, szFileSystem) == 102);
static_assert(offsetof(EngineInfoBody, dwAnalyzeOrDefrag) == 136);

[[nodiscard]] VolumePathBody MakeVolumePathBody(const DriveEntry& entry) noexcept;
// Percent done as given (the entry's own, except where a message says otherwise).
[[nodiscard]] StatusBody MakeStatusBody(const DriveEntry& entry, std::uint32_t percentDone) noexcept;
[[nodiscard]] inline StatusBody MakeStatusBody(const DriveEntry& entry) noexcept {
  return MakeStatusBody(entry, entry.dwPercentDone);
}
[[nodiscard]] EngineInfoBody MakeEngineInfoBody(const DriveEntry& entry) noexcept;
