#pragma once
// The GUI's side of the DataIo wire, as a GUI program sees it: the packet header and the
// bodies it sends to the module and receives from it. Written from the wire description, not
// from the module's own headers, so that the stand-ins check the module rather than agree with
// it by construction. Little-endian, packed, UTF-16 text.

#include <windows.h>
#include <cstddef>
#include <cstdint>

constexpr std::uint16_t kDataIoSignature = 0x504D;
constexpr std::uint16_t kDataIoFormat = 103;

#pragma pack(push, 1)

struct DataIoHeader {
  std::uint16_t Signature;   // kDataIoSignature
  std::uint16_t Format;      // kDataIoFormat
  std::uint16_t Reserved1;   // 1 when sent
  std::uint16_t Reserved2;   // always 1
  std::uint32_t BodyLength;  // body bytes after the header
  std::uint32_t Command;     // 4.5 command number
};
static_assert(sizeof(DataIoHeader) == 16);
static_assert(offsetof(DataIoHeader, Format) == 2);
static_assert(offsetof(DataIoHeader, Reserved1) == 4);
static_assert(offsetof(DataIoHeader, Reserved2) == 6);
static_assert(offsetof(DataIoHeader, BodyLength) == 8);
static_assert(offsetof(DataIoHeader, Command) == 12);

// ID_ANALYZE, ID_DEFRAG: the drive letter at offset 8.
struct DriveCommandBody {
  std::uint32_t dwReserved[2];
  WCHAR cDrive;
  WCHAR wZero;
};
static_assert(sizeof(DriveCommandBody) == 12);
static_assert(offsetof(DriveCommandBody, cDrive) == 8);

// ID_SETDISPDIMENSIONS: display sizes for an analysis and for a defragmentation.
struct DisplaySizeBody {
  std::uint32_t dwAnalyzeSize;
  std::uint32_t dwDefragSize;
};
static_assert(sizeof(DisplaySizeBody) == 8);
static_assert(offsetof(DisplaySizeBody, dwDefragSize) == 4);

// ID_CURRENT_DRIVE: the drive letter at offset 0.
struct CurrentDriveBody {
  WCHAR cDrive;
  WCHAR wZero;
};
static_assert(sizeof(CurrentDriveBody) == 4);

// ID_INIT_SERVICE_COMM (sent) and ID_INIT_ENGINE_COMM (received): a text field, then from
// byte 102 a braced class identifier.
struct CommInitBody {
  WCHAR szText[51];
  WCHAR szClsid[312];
};
static_assert(sizeof(CommInitBody) == 726);
static_assert(offsetof(CommInitBody, szClsid) == 102);

// ID_RECEIVE_DRIVE_DATA: 26 records, one per drive letter A to Z.
struct DriveListRecord {
  WCHAR szVolumePath[51];
  WCHAR szFileSystem[20];
  WCHAR szEmpty[53];
  std::uint32_t dwZero[4];
  std::uint32_t dwThree;
  WCHAR szGuiDriveClsid[54];
};
static_assert(sizeof(DriveListRecord) == 376);
static_assert(offsetof(DriveListRecord, szFileSystem) == 102);
static_assert(offsetof(DriveListRecord, szEmpty) == 142);
static_assert(offsetof(DriveListRecord, dwZero) == 248);
static_assert(offsetof(DriveListRecord, dwThree) == 264);
static_assert(offsetof(DriveListRecord, szGuiDriveClsid) == 268);
constexpr std::size_t kDriveListBodySize = 26 * sizeof(DriveListRecord);
static_assert(kDriveListBodySize == 9776);

// ID_PAUSE, ID_CONTINUE, ID_ENGINE_TERMINATING.
struct VolumePathBody {
  WCHAR szVolumePath[51];
};
static_assert(sizeof(VolumePathBody) == 102);

// ID_STATUS.
struct StatusBody {
  WCHAR szVolumePath[52];
  std::uint32_t dwPercentDone;
  std::uint32_t dwEngineState;
};
static_assert(sizeof(StatusBody) == 112);
static_assert(offsetof(StatusBody, dwPercentDone) == 104);
static_assert(offsetof(StatusBody, dwEngineState) == 108);

// ID_ENGINE_START, ID_END_SCAN.
struct EngineInfoBody {
  WCHAR szVolumePath[51];
  WCHAR szFileSystem[17];
  std::uint32_t dwAnalyzeOrDefrag;
};
static_assert(sizeof(EngineInfoBody) == 140);
static_assert(offsetof(EngineInfoBody, szFileSystem) == 102);
static_assert(offsetof(EngineInfoBody, dwAnalyzeOrDefrag) == 136);

// ID_BEGIN_SCAN.
struct BeginScanBody {
  WCHAR szVolumePath[153];
  WCHAR szFileSystem[19];
  std::uint64_t qwTotalClusters;
  std::uint64_t qwClusterBytes;
  std::uint64_t qwDefragTotalClusters;  // 0 while analysing
  std::uint64_t qwDefragClusterBytes;   // 0 while analysing
};
static_assert(sizeof(BeginScanBody) == 376);
static_assert(offsetof(BeginScanBody, szFileSystem) == 306);
static_assert(offsetof(BeginScanBody, qwTotalClusters) == 344);
static_assert(offsetof(BeginScanBody, qwClusterBytes) == 352);
static_assert(offsetof(BeginScanBody, qwDefragTotalClusters) == 360);
static_assert(offsetof(BeginScanBody, qwDefragClusterBytes) == 368);

// The volume statistics inside every ID_DISP_DATA. Offsets 280 to 416 carry the service's
// figures; what each means is fixed between the two stand-ins in volume_figures.h.
struct VolumeStatisticsBody {
  WCHAR szVolumePath[51];
  WCHAR szEmpty[50];
  WCHAR cDrive;
  WCHAR szFileSystem[18];
  std::uint64_t qwTotalBytes;    // 240
  std::uint64_t qwClusterBytes;  // 248
  std::uint64_t qwFreeBytes;     // 256
  std::uint64_t qwUsedBytes;     // 264
  std::int64_t qwPercentUsed;    // 272
  std::uint64_t qwFigures[18];   // 280 to 416, in steps of 8
  std::uint32_t dwDisplayData;   // 424
  std::uint32_t dwReserved;      // 428
};
static_assert(sizeof(VolumeStatisticsBody) == 432);
static_assert(offsetof(VolumeStatisticsBody, cDrive) == 202);
static_assert(offsetof(VolumeStatisticsBody, szFileSystem) == 204);
static_assert(offsetof(VolumeStatisticsBody, qwTotalBytes) == 240);
static_assert(offsetof(VolumeStatisticsBody, qwClusterBytes) == 248);
static_assert(offsetof(VolumeStatisticsBody, qwFreeBytes) == 256);
static_assert(offsetof(VolumeStatisticsBody, qwUsedBytes) == 264);
static_assert(offsetof(VolumeStatisticsBody, qwPercentUsed) == 272);
static_assert(offsetof(VolumeStatisticsBody, qwFigures) == 280);
static_assert(offsetof(VolumeStatisticsBody, dwDisplayData) == 424);
// The statistics offset of a figure slot.
constexpr std::size_t StatisticsFigureOffset(std::size_t slot) { return 280 + 8 * slot; }

// ID_DISP_DATA: this head, the display data, then 8 zero bytes.
struct DisplayDataHead {
  WCHAR szVolumePath[52];
  VolumeStatisticsBody Statistics;
  std::uint32_t dwAnalyzeLength;
  std::uint32_t dwAnalyzeParam;
  std::uint32_t dwDefragLength;
  std::uint32_t dwDefragParam;
};
static_assert(sizeof(DisplayDataHead) == 552);
static_assert(offsetof(DisplayDataHead, Statistics) == 104);
static_assert(offsetof(DisplayDataHead, dwAnalyzeLength) == 536);
static_assert(offsetof(DisplayDataHead, dwAnalyzeParam) == 540);
static_assert(offsetof(DisplayDataHead, dwDefragLength) == 544);
static_assert(offsetof(DisplayDataHead, dwDefragParam) == 548);
constexpr std::size_t kDisplayDataTrailer = 8;

// ID_FRAGGED_DATA: the transfer buffer. A head, then records of variable length.
struct TransferBufferHead {
  std::uint32_t dwCount;
  WCHAR szVolume[51];
};
static_assert(sizeof(TransferBufferHead) == 106);
struct TransferRecordHead {
  std::uint64_t qwReserved1;
  std::int64_t llFileSize;
  WCHAR szFileSize[32];
  std::int64_t llFragments;
  WCHAR szFragments[32];
  std::uint64_t qwReserved2;
  // then the path and its terminator
};
static_assert(sizeof(TransferRecordHead) == 160);
static_assert(offsetof(TransferRecordHead, llFileSize) == 8);
static_assert(offsetof(TransferRecordHead, szFileSize) == 16);
static_assert(offsetof(TransferRecordHead, llFragments) == 80);
static_assert(offsetof(TransferRecordHead, szFragments) == 88);
static_assert(offsetof(TransferRecordHead, qwReserved2) == 152);

#pragma pack(pop)

// Engine states the GUI is told in status bodies.
constexpr std::uint32_t kGuiEngineIdle = 0;
constexpr std::uint32_t kGuiEngineStopRequested = 1;
constexpr std::uint32_t kGuiEngineAnalyzing = 2;
constexpr std::uint32_t kGuiEngineAnalyzeEnded = 3;
constexpr std::uint32_t kGuiEngineDefragging = 5;
constexpr std::uint32_t kGuiEngineDefragEnded = 6;
