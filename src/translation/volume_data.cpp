// The service's volume reports: the volume data becomes the begin-of-scan record, a status
// and a display packet with fresh volume statistics (and, for a drive the GUI has not been
// connected for yet, a late engine start); the display data becomes a display packet that
// repeats the last statistics. Everything here runs on the translation thread.

#include <cstring>

#include "dataio/dataio_client.h"
#include "shared/block.h"
#include "shared/trace.h"
#include "handoff/commands.h"
#include "translation/engine_classes.h"
#include "translation/text_field.h"
#include "translation/translate_context.h"
#include "translation/volume_bodies.h"

namespace {

// Values of the volume data copied into the statistics as they are.
struct CopiedValue {
  std::uint32_t from;  // volume data offset
  std::uint32_t to;    // statistics offset
};
constexpr CopiedValue kCopiedValues[] = {
    {1632, 280}, {1624, 288}, {1512, 304}, {1520, 312}, {1528, 328}, {1472, 336}, {1480, 344},
    {1552, 352}, {1560, 360}, {1608, 368}, {256, 376},  {248, 384},  {1616, 392}, {224, 408},
    {216, 416},
};
// Pairs of values of the volume data whose sum goes into the statistics.
struct SummedValue {
  std::uint32_t from1;
  std::uint32_t from2;
  std::uint32_t to;
};
constexpr SummedValue kSummedValues[] = {{1488, 1496, 296}, {1448, 1456, 320}};

static_assert(VolumeData::kMinSize == 1632 + sizeof(std::uint64_t));

void WriteU64(VolumeStatistics& stats, std::uint32_t offset, std::uint64_t value) noexcept {
  std::memcpy(reinterpret_cast<BYTE*>(&stats) + offset, &value, sizeof(value));
}

bool IsAnalysing(const DriveEntry& entry) noexcept { return entry.dwAnalyzeOrDefrag == kOperationAnalyze; }

// (T - U) x 100 / T as a signed 64-bit division rounding toward zero, 0 for T = 0; the one
// quotient that does not fit (the most negative value by -1) wraps like the products.
std::int64_t PercentUsed(std::uint64_t t, std::uint64_t u) noexcept {
  if (t == 0) return 0;
  const auto numerator = static_cast<std::int64_t>((t - u) * 100);
  const auto denominator = static_cast<std::int64_t>(t);
  if (denominator == -1) return static_cast<std::int64_t>(0 - static_cast<std::uint64_t>(numerator));
  return numerator / denominator;
}

}  // namespace

VolumeStatistics BuildVolumeStatistics(const BYTE* volumeData, const DriveEntry& entry, WCHAR drive) noexcept {
  VolumeStatistics stats;
  ZeroMemory(&stats, sizeof(stats));
  CopyTextField(stats.szVolumePath, entry.szVolumePath);
  stats.cDrive = drive;
  CopyTextField(stats.szFileSystem, entry.szFileSystem);

  const std::uint64_t s = ReadU64(volumeData + VolumeData::kS);
  const std::uint64_t t = ReadU64(volumeData + VolumeData::kT);
  const std::uint64_t u = ReadU64(volumeData + VolumeData::kU);
  stats.qwTotalBytes = t * s;
  stats.qwClusterBytes = s;
  stats.qwFreeBytes = u * s;
  stats.qwUsedBytes = (t - u) * s;
  stats.qwPercentUsed = PercentUsed(t, u);
  for (const CopiedValue& v : kCopiedValues) WriteU64(stats, v.to, ReadU64(volumeData + v.from));
  for (const SummedValue& v : kSummedValues) {
    WriteU64(stats, v.to, ReadU64(volumeData + v.from1) + ReadU64(volumeData + v.from2));
  }
  stats.dwDisplayData = 0;
  return stats;
}

BeginScanBody BuildBeginScanBody(const BYTE* volumeData, const DriveEntry& entry) noexcept {
  BeginScanBody body;
  ZeroMemory(&body, sizeof(body));
  CopyTextField(body.szVolumePath, entry.szVolumePath);
  CopyTextField(body.szFileSystem, entry.szFileSystem);
  body.qwT = ReadU64(volumeData + VolumeData::kT);
  body.qwS = ReadU64(volumeData + VolumeData::kS);
  if (!IsAnalysing(entry)) {
    body.qwDefragT = body.qwT;
    body.qwDefragS = body.qwS;
  }
  return body;
}

void SetFileSystemFromCode(DriveEntry& entry, std::uint32_t code) noexcept {
  static constexpr WCHAR kFat[] = L"FAT";
  static constexpr WCHAR kNtfs[] = L"NTFS";
  if (code == 1) CopyTextField(entry.szFileSystem, kFat);
  if (code == 2) CopyTextField(entry.szFileSystem, kNtfs);
}

bool IsAnalyzeText(const WCHAR (&text)[16]) noexcept {
  static constexpr WCHAR kAnalyze[] = L"Analyze";  // with its terminator
  return std::memcmp(text, kAnalyze, sizeof(kAnalyze)) == 0;
}

// Translation thread, for the service's ID_VOL_DATA.
void TranslateVolumeData(const ServiceMessage& m) noexcept {
  Trace(L"TW4_0::ID_VOL_DATA\n");
  const wchar_t* name = GetCommandName4_0(m.command);
  if (!CheckBody(name, m.body, m.bodySize, VolumeData::kMinSize)) return;
  DriveEntry* entry = CheckDrive(name, m.packet->cDrive);
  if (entry == nullptr) return;

  if (IsAnalyzeText(m.packet->szText)) {
    entry->dwAnalyzeOrDefrag = kOperationAnalyze;
    entry->dwEngineState = ENGINE_ANALYZING;
  } else {
    entry->dwAnalyzeOrDefrag = kOperationDefrag;
    entry->dwEngineState = ENGINE_DEFRAGGING;
  }

  // A drive the GUI has not been connected for: its engine start comes late, from here.
  if (entry->pDataIoClient == nullptr) {
    InitializeDataIoClient(entry->clsidGuiDrive, nullptr, &entry->pDataIoClient);
    SetPseudoEngineDrive(m.packet->cDrive);
    const EngineInfoBody info = MakeEngineInfoBody(*entry);
    DataIoClientSetData(TW4_5::ID_ENGINE_START, &info, sizeof(info), entry->pDataIoClient);
  }

  if (!entry->bBeginScanSent) {
    SetFileSystemFromCode(*entry, ReadU32(m.body + VolumeData::kFileSystemCode));
    const BeginScanBody begin = BuildBeginScanBody(m.body, *entry);
    DataIoClientSetData(TW4_5::ID_BEGIN_SCAN, &begin, sizeof(begin), entry->pDataIoClient);
    Trace(L"TW4_5::BEGIN_SCAN_INFO Sent to GUI from TL\n");
    entry->bBeginScanSent = TRUE;
  }

  const StatusBody status = MakeStatusBody(*entry);
  DataIoClientSetData(TW4_5::ID_STATUS, &status, sizeof(status), entry->pDataIoClient);

  entry->VolumeStatistics = BuildVolumeStatistics(m.body, *entry, m.packet->cDrive);
  struct {
    DisplayDataBody head;
    BYTE trailer[kDisplayDataTrailer];
  } display;
  static_assert(sizeof(display) == kDisplayDataOverhead);
  ZeroMemory(&display, sizeof(display));
  display.head.stats = entry->VolumeStatistics;
  DataIoClientSetData(TW4_5::ID_DISP_DATA, &display, sizeof(display), entry->pDataIoClient);

  entry->dwPass = ReadU32(m.body + VolumeData::kPass);
}

// Translation thread, for the service's ID_NEW_DISPLAY_DATA: the display data is passed on
// unread behind the drive's last statistics.
void TranslateDisplayData(const ServiceMessage& m) noexcept {
  Trace(L"TW4_0::ID_NEW_DISPLAY_DATA\n");
  const wchar_t* name = GetCommandName4_0(m.command);
  DriveEntry* entry = CheckDrive(name, m.packet->cDrive);
  if (entry == nullptr) return;

  // The body is at most a pipe packet's, so the sum cannot wrap.
  const std::uint32_t size = m.bodySize + kDisplayDataOverhead;
  UniqueBlock block(static_cast<BYTE*>(AllocBlock(size)));
  if (!block) {
    TraceNoMemory(name, size);
    return;
  }
  ZeroMemory(block.get(), size);
  auto* head = reinterpret_cast<DisplayDataBody*>(block.get());
  CopyTextField(head->szVolumePath, entry->szVolumePath);
  if (IsAnalysing(*entry)) {
    head->dwAnalyzeLength = m.bodySize;
    head->dwAnalyzeParam = m.packet->dwParam;
  } else {
    head->dwDefragLength = m.bodySize;
    head->dwDefragParam = m.packet->dwParam;
  }
  head->stats = entry->VolumeStatistics;
  head->stats.dwDisplayData = 1;
  if (m.bodySize != 0) std::memcpy(block.get() + sizeof(DisplayDataBody), m.body, m.bodySize);
  DataIoClientSetData(TW4_5::ID_DISP_DATA, block.get(), size, entry->pDataIoClient);
}
