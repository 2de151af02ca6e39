#pragma once
// The volume statistics the GUI keeps for a drive: built from the service's volume data,
// remembered in the drive table and repeated in front of every display packet.

#include <windows.h>
#include <cstddef>
#include <cstdint>

#pragma pack(push, 1)
struct VolumeStatistics {
  WCHAR szVolumePath[51];        //   0: the drive's volume path
  WCHAR szEmpty[50];             // 102: always empty
  WCHAR cDrive;                  // 202: the letter as the service sent it
  WCHAR szFileSystem[18];        // 204: the drive's file system name
  std::uint64_t qwTotalBytes;    // 240: T x S
  std::uint64_t qwClusterBytes;  // 248: S
  std::uint64_t qwFreeBytes;     // 256: U x S
  std::uint64_t qwUsedBytes;     // 264: (T - U) x S
  std::int64_t qwPercentUsed;    // 272: (T - U) x 100 / T
  std::uint64_t qw280;           // 280.. 416: values taken from the volume data
  std::uint64_t qw288;
  std::uint64_t qw296;
  std::uint64_t qw304;           // one of the two counts the engine exit looks at
  std::uint64_t qw312;
  std::uint64_t qw320;
  std::uint64_t qw328;
  std::uint64_t qw336;           // the other count the engine exit looks at
  std::uint64_t qw344;
  std::uint64_t qw352;
  std::uint64_t qw360;
  std::uint64_t qw368;
  std::uint64_t qw376;
  std::uint64_t qw384;
  std::uint64_t qw392;
  std::uint64_t qw400;           // always zero
  std::uint64_t qw408;
  std::uint64_t qw416;
  std::uint32_t dwDisplayData;   // 424: 1 in the copy sent with display data, else 0
  std::uint32_t dwReserved;      // 428: zero
};
#pragma pack(pop)

static_assert(sizeof(VolumeStatistics) == 432);
static_assert(offsetof(VolumeStatistics, szEmpty) == 102);
static_assert(offsetof(VolumeStatistics, cDrive) == 202);
static_assert(offsetof(VolumeStatistics, szFileSystem) == 204);
static_assert(offsetof(VolumeStatistics, qwTotalBytes) == 240);
static_assert(offsetof(VolumeStatistics, qwPercentUsed) == 272);
static_assert(offsetof(VolumeStatistics, qw280) == 280);
static_assert(offsetof(VolumeStatistics, qw304) == 304);
static_assert(offsetof(VolumeStatistics, qw336) == 336);
static_assert(offsetof(VolumeStatistics, qw400) == 400);
static_assert(offsetof(VolumeStatistics, qw416) == 416);
static_assert(offsetof(VolumeStatistics, dwDisplayData) == 424);
static_assert(offsetof(VolumeStatistics, dwReserved) == 428);
