#pragma once
// The service's side of the pipe wire, as the service stand-in writes it: the bodies of its
// messages to the module and of the settings it keeps. The pipe packet header itself is the
// module's PipePacket (pipes/pipe_packet.h), which both ends share byte for byte.

#include <windows.h>
#include <cstddef>
#include <cstdint>

#pragma pack(push, 1)

// ID_DRIVE_DATA: a 32-byte head, then one record per drive letter A to Z.
struct ServiceDriveEntry {
  WCHAR szFileSystem[16];
  std::uint32_t dwEngineCode;  // kEngineCode* below
  BYTE abReserved1[8];
  WCHAR cDrive;
  BYTE abReserved2[34];
};
static_assert(sizeof(ServiceDriveEntry) == 80);
static_assert(offsetof(ServiceDriveEntry, dwEngineCode) == 32);
static_assert(offsetof(ServiceDriveEntry, cDrive) == 44);

struct ServiceDriveDataBody {
  BYTE abHead[32];
  ServiceDriveEntry Drives[26];
};
static_assert(sizeof(ServiceDriveDataBody) == 2112);
static_assert(offsetof(ServiceDriveDataBody, Drives) == 32);

// ID_FRAGGED_FILE_LIST: records of this layout, back to back.
struct FraggedFileRecord {
  std::int64_t llFragments;
  std::int64_t llFileSize;
  WCHAR szPath[260];
};
static_assert(sizeof(FraggedFileRecord) == 536);
static_assert(offsetof(FraggedFileRecord, llFileSize) == 8);
static_assert(offsetof(FraggedFileRecord, szPath) == 16);

// ID_NEW_EXCLUDE_DATA_EX: an 8-byte head, the fixed part, then the exclusion list.
struct ExclusionDataHead {
  std::uint32_t dwVersion;
  std::uint32_t dwListBytes;
};
static_assert(sizeof(ExclusionDataHead) == 8);

#pragma pack(pop)

constexpr std::size_t kExclusionFixedSize = 7696;

// Engine codes in the drive data: what the drive's engine is doing. 0 and 10 mean that no
// engine runs on the drive; every other value marks a drive with an engine.
constexpr std::uint32_t kEngineCodeNone = 0;
constexpr std::uint32_t kEngineCodeAnalyzing = 1;
constexpr std::uint32_t kEngineCodeDefragging = 2;
constexpr std::uint32_t kEngineCodePaused = 3;
constexpr std::uint32_t kEngineCodeFinished = 10;

// The text in the header of ID_VOL_DATA that marks an analysis; anything else is a
// defragmentation.
constexpr const wchar_t* kVolumeDataAnalyzeText = L"Analyze";
constexpr const wchar_t* kVolumeDataDefragText = L"Defragment";
