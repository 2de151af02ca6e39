#include "common/volume_figures.h"

#include <cstring>

#include "common/gui_wire.h"

namespace {

void PutU32(std::vector<unsigned char>& body, std::size_t offset, std::uint32_t value) {
  std::memcpy(body.data() + offset, &value, sizeof(value));
}
void PutU64(std::vector<unsigned char>& body, std::size_t offset, std::uint64_t value) {
  std::memcpy(body.data() + offset, &value, sizeof(value));
}

// Statistics figure slots (offset 280 + 8 x slot).
enum Slot : std::size_t {
  kSlotFiles = 0,                     // 280
  kSlotDirectories = 1,               // 288
  kSlotFragments = 2,                 // 296: file + directory fragments
  kSlotFragmentedFiles = 3,           // 304
  kSlotExcessFileFragments = 4,       // 312
  kSlotBytes = 5,                     // 320: file + directory bytes
  kSlotLargestFreeExtent = 6,         // 328
  kSlotFragmentedDirectories = 7,     // 336
  kSlotExcessDirectoryFragments = 8,  // 344
  kSlotFreeExtents = 9,               // 352
  kSlotAverageFreeExtent = 10,        // 360
  kSlotSystemBytes = 11,              // 368
  kSlotPagingFileBytes = 12,          // 376
  kSlotPagingFileFragments = 13,      // 384
  kSlotUnmovableFiles = 14,           // 392
  kSlotAverageFragmentsX100 = 16,     // 408
  kSlotAverageFileBytes = 17,         // 416
};
static_assert(StatisticsFigureOffset(kSlotFragmentedFiles) == 304);
static_assert(StatisticsFigureOffset(kSlotFragmentedDirectories) == 336);
static_assert(StatisticsFigureOffset(kSlotAverageFileBytes) == 416);

}  // namespace

std::vector<unsigned char> BuildVolumeDataBody(const VolumeFigures& f) {
  namespace O = VolumeDataOffset;
  std::vector<unsigned char> body(kVolumeDataBodySize, 0);
  PutU32(body, O::FileSystemCode, f.fileSystemCode);
  PutU64(body, O::ClusterBytes, f.clusterBytes);
  PutU64(body, O::TotalClusters, f.totalClusters);
  PutU64(body, O::FreeClusters, f.freeClusters);
  PutU64(body, O::AverageFileBytes, f.averageFileBytes);
  PutU64(body, O::AverageFragmentsX100, f.averageFragmentsX100);
  PutU64(body, O::PagingFileFragments, f.pagingFileFragments);
  PutU64(body, O::PagingFileBytes, f.pagingFileBytes);
  PutU32(body, O::Pass, f.pass);
  PutU64(body, O::FileBytes, f.fileBytes);
  PutU64(body, O::DirectoryBytes, f.directoryBytes);
  PutU64(body, O::FragmentedDirectories, f.fragmentedDirectories);
  PutU64(body, O::ExcessDirectoryFragments, f.excessDirectoryFragments);
  PutU64(body, O::FileFragments, f.fileFragments);
  PutU64(body, O::DirectoryFragments, f.directoryFragments);
  PutU64(body, O::FragmentedFiles, f.fragmentedFiles);
  PutU64(body, O::ExcessFileFragments, f.excessFileFragments);
  PutU64(body, O::LargestFreeExtent, f.largestFreeExtent);
  PutU64(body, O::FreeExtents, f.freeExtents);
  PutU64(body, O::AverageFreeExtent, f.averageFreeExtent);
  PutU64(body, O::SystemBytes, f.systemBytes);
  PutU64(body, O::UnmovableFiles, f.unmovableFiles);
  PutU64(body, O::Directories, f.directories);
  PutU64(body, O::Files, f.files);
  return body;
}

VolumeSummary ReadVolumeSummary(const VolumeStatisticsBody& s) {
  VolumeSummary v;
  v.totalBytes = s.qwTotalBytes;
  v.clusterBytes = s.qwClusterBytes;
  v.freeBytes = s.qwFreeBytes;
  v.usedBytes = s.qwUsedBytes;
  v.percentUsed = s.qwPercentUsed;
  v.files = s.qwFigures[kSlotFiles];
  v.directories = s.qwFigures[kSlotDirectories];
  v.fragments = s.qwFigures[kSlotFragments];
  v.fragmentedFiles = s.qwFigures[kSlotFragmentedFiles];
  v.excessFileFragments = s.qwFigures[kSlotExcessFileFragments];
  v.bytesInFilesAndDirectories = s.qwFigures[kSlotBytes];
  v.largestFreeExtent = s.qwFigures[kSlotLargestFreeExtent];
  v.fragmentedDirectories = s.qwFigures[kSlotFragmentedDirectories];
  v.excessDirectoryFragments = s.qwFigures[kSlotExcessDirectoryFragments];
  v.freeExtents = s.qwFigures[kSlotFreeExtents];
  v.averageFreeExtent = s.qwFigures[kSlotAverageFreeExtent];
  v.systemBytes = s.qwFigures[kSlotSystemBytes];
  v.pagingFileBytes = s.qwFigures[kSlotPagingFileBytes];
  v.pagingFileFragments = s.qwFigures[kSlotPagingFileFragments];
  v.unmovableFiles = s.qwFigures[kSlotUnmovableFiles];
  v.averageFragmentsX100 = s.qwFigures[kSlotAverageFragmentsX100];
  v.averageFileBytes = s.qwFigures[kSlotAverageFileBytes];
  return v;
}
