#pragma once
// What the numbers in a volume report mean, agreed between the two stand-ins. The service
// writes its figures into the 1640-byte body of ID_VOL_DATA; the module moves them (some
// summed) into the 432-byte volume statistics; the GUI reads them back from there. The module
// itself gives the figures no meaning beyond clusters, free space and the two counts it tests
// at an engine exit (fragmented files and fragmented directories).

#include <cstddef>
#include <cstdint>
#include <vector>

struct VolumeFigures {
  std::uint32_t fileSystemCode = 0;  // 1 FAT, 2 NTFS, anything else leaves the name
  std::uint32_t pass = 0;
  std::uint64_t clusterBytes = 0;    // S
  std::uint64_t totalClusters = 0;   // T
  std::uint64_t freeClusters = 0;    // U
  std::uint64_t files = 0;
  std::uint64_t directories = 0;
  std::uint64_t fileFragments = 0;
  std::uint64_t directoryFragments = 0;
  std::uint64_t fragmentedFiles = 0;
  std::uint64_t excessFileFragments = 0;
  std::uint64_t fileBytes = 0;
  std::uint64_t directoryBytes = 0;
  std::uint64_t largestFreeExtent = 0;  // clusters
  std::uint64_t fragmentedDirectories = 0;
  std::uint64_t excessDirectoryFragments = 0;
  std::uint64_t freeExtents = 0;
  std::uint64_t averageFreeExtent = 0;  // clusters
  std::uint64_t systemBytes = 0;
  std::uint64_t pagingFileBytes = 0;
  std::uint64_t pagingFileFragments = 0;
  std::uint64_t unmovableFiles = 0;
  std::uint64_t averageFragmentsX100 = 0;  // fragments per fragmented file, times 100
  std::uint64_t averageFileBytes = 0;
};

constexpr std::size_t kVolumeDataBodySize = 1640;

// Service side: the body of ID_VOL_DATA, kVolumeDataBodySize bytes, every unnamed byte zero.
std::vector<unsigned char> BuildVolumeDataBody(const VolumeFigures& figures);

// GUI side: what the volume statistics (432 bytes) tell, in the same terms.
struct VolumeSummary {
  std::uint64_t totalBytes = 0;
  std::uint64_t clusterBytes = 0;
  std::uint64_t freeBytes = 0;
  std::uint64_t usedBytes = 0;
  std::int64_t percentUsed = 0;
  std::uint64_t files = 0;
  std::uint64_t directories = 0;
  std::uint64_t fragments = 0;  // in files and directories
  std::uint64_t fragmentedFiles = 0;
  std::uint64_t excessFileFragments = 0;
  std::uint64_t bytesInFilesAndDirectories = 0;
  std::uint64_t largestFreeExtent = 0;
  std::uint64_t fragmentedDirectories = 0;
  std::uint64_t excessDirectoryFragments = 0;
  std::uint64_t freeExtents = 0;
  std::uint64_t averageFreeExtent = 0;
  std::uint64_t systemBytes = 0;
  std::uint64_t pagingFileBytes = 0;
  std::uint64_t pagingFileFragments = 0;
  std::uint64_t unmovableFiles = 0;
  std::uint64_t averageFragmentsX100 = 0;
  std::uint64_t averageFileBytes = 0;
};

struct VolumeStatisticsBody;
VolumeSummary ReadVolumeSummary(const VolumeStatisticsBody& statistics);

// Body offsets of ID_VOL_DATA, and the statistics figure slot each lands in.
namespace VolumeDataOffset {
constexpr std::size_t FileSystemCode = 16;
constexpr std::size_t ClusterBytes = 48;
constexpr std::size_t TotalClusters = 72;
constexpr std::size_t FreeClusters = 96;
constexpr std::size_t AverageFileBytes = 216;
constexpr std::size_t AverageFragmentsX100 = 224;
constexpr std::size_t PagingFileFragments = 248;
constexpr std::size_t PagingFileBytes = 256;
constexpr std::size_t Pass = 1380;
constexpr std::size_t FileBytes = 1448;
constexpr std::size_t DirectoryBytes = 1456;
constexpr std::size_t FragmentedDirectories = 1472;
constexpr std::size_t ExcessDirectoryFragments = 1480;
constexpr std::size_t FileFragments = 1488;
constexpr std::size_t DirectoryFragments = 1496;
constexpr std::size_t FragmentedFiles = 1512;
constexpr std::size_t ExcessFileFragments = 1520;
constexpr std::size_t LargestFreeExtent = 1528;
constexpr std::size_t FreeExtents = 1552;
constexpr std::size_t AverageFreeExtent = 1560;
constexpr std::size_t SystemBytes = 1608;
constexpr std::size_t UnmovableFiles = 1616;
constexpr std::size_t Directories = 1624;
constexpr std::size_t Files = 1632;
}  // namespace VolumeDataOffset
