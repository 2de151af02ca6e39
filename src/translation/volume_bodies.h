#pragma once
// What the service's volume reports become for the GUI: the begin-of-scan record and the
// display packet, built from the volume data (at least 1640 bytes) and the drive table.

#include <windows.h>
#include <cstddef>
#include <cstdint>

#include "translation/drive_table.h"
#include "translation/volume_statistics.h"

// Offsets in the service's volume data that are read.
namespace VolumeData {
constexpr std::uint32_t kFileSystemCode = 16;  // 1 = FAT, 2 = NTFS
constexpr std::uint32_t kS = 48;
constexpr std::uint32_t kT = 72;
constexpr std::uint32_t kU = 96;
constexpr std::uint32_t kPass = 1380;
constexpr std::uint32_t kMinSize = 1640;  // the last value read ends here
}  // namespace VolumeData

#pragma pack(push, 1)
// Body of ID_BEGIN_SCAN, 376 bytes.
struct BeginScanBody {
  WCHAR szVolumePath[153];           //   0: the volume path, the rest zero
  WCHAR szFileSystem[19];            // 306
  std::uint64_t qwT;                 // 344
  std::uint64_t qwS;                 // 352
  std::uint64_t qwDefragT;           // 360: T when defragmenting, else 0
  std::uint64_t qwDefragS;           // 368: S when defragmenting, else 0
};

// Head of the body of ID_DISP_DATA, 552 bytes; the display data and 8 zero bytes follow it.
struct DisplayDataBody {
  WCHAR szVolumePath[52];            //   0: empty in the packet sent for volume data
  VolumeStatistics stats;            // 104
  std::uint32_t dwAnalyzeLength;     // 536: display data length while analysing
  std::uint32_t dwAnalyzeParam;      // 540: the service's dwParam while analysing
  std::uint32_t dwDefragLength;      // 544: the same two while defragmenting
  std::uint32_t dwDefragParam;       // 548
};
#pragma pack(pop)

static_assert(sizeof(BeginScanBody) == 376);
static_assert(offsetof(BeginScanBody, szFileSystem) == 306);
static_assert(offsetof(BeginScanBody, qwT) == 344);
static_assert(offsetof(BeginScanBody, qwS) == 352);
static_assert(offsetof(BeginScanBody, qwDefragT) == 360);
static_assert(offsetof(BeginScanBody, qwDefragS) == 368);

static_assert(sizeof(DisplayDataBody) == 552);
static_assert(offsetof(DisplayDataBody, stats) == 104);
static_assert(offsetof(DisplayDataBody, stats) + offsetof(VolumeStatistics, dwDisplayData) == 528);
static_assert(offsetof(DisplayDataBody, dwAnalyzeLength) == 536);
static_assert(offsetof(DisplayDataBody, dwAnalyzeParam) == 540);
static_assert(offsetof(DisplayDataBody, dwDefragLength) == 544);
static_assert(offsetof(DisplayDataBody, dwDefragParam) == 548);

// Zero bytes after the display data; a display packet is the data's length + 560 bytes.
constexpr std::uint32_t kDisplayDataTrailer = 8;
constexpr std::uint32_t kDisplayDataOverhead = sizeof(DisplayDataBody) + kDisplayDataTrailer;

// The statistics of a volume data (at least VolumeData::kMinSize bytes) for the drive entry;
// `drive` is the letter as the service sent it. The display-data flag is 0.
[[nodiscard]] VolumeStatistics BuildVolumeStatistics(const BYTE* volumeData, const DriveEntry& entry,
                                                     WCHAR drive) noexcept;

// The begin-of-scan record of a volume data for the drive entry.
[[nodiscard]] BeginScanBody BuildBeginScanBody(const BYTE* volumeData, const DriveEntry& entry) noexcept;

// The file system name from the volume data's code: 1 "FAT", 2 "NTFS", anything else keeps it.
void SetFileSystemFromCode(DriveEntry& entry, std::uint32_t code) noexcept;

// True when the header text says the engine analyses: exactly "Analyze".
[[nodiscard]] bool IsAnalyzeText(const WCHAR (&text)[16]) noexcept;
