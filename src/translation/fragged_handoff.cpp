#include "translation/fragged_handoff.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "dataio/dataio_client.h"
#include "fragreport/fragged_file_list.h"
#include "shared/trace.h"
#include "handoff/commands.h"

namespace {

// One fragmented file as the service reports it; records follow the pipe header back to back.
#pragma pack(push, 1)
struct ServiceFraggedRecord {
  std::int64_t llFragments;
  std::int64_t llFileSize;
  WCHAR szPath[kFraggedPathRoom];  // terminated inside the field, or cut at its end
};
#pragma pack(pop)

static_assert(sizeof(ServiceFraggedRecord) == 536);
static_assert(offsetof(ServiceFraggedRecord, llFragments) == 0);
static_assert(offsetof(ServiceFraggedRecord, llFileSize) == 8);
static_assert(offsetof(ServiceFraggedRecord, szPath) == 16);

// Lays the list out and sends it to the drive's GUI object (nothing when there is none). The
// sender copies the buffer, which the list frees when it ends.
void SendFraggedReport(CFraggedFileList& list, const DriveEntry& entry) noexcept {
  if (!list.CreateTransferBuffer()) return;  // traced by the list
  DataIoClientSetData(TW4_5::ID_FRAGGED_DATA, list.GetTransferBuffer(), list.GetTransferBufferSize(),
                      entry.pDataIoClient);
}

}  // namespace

void HandleFraggedFileList(const PipePacket* packet, DriveEntry& entry) noexcept {
  Trace(L"TW4_0::ID_FRAGGED_FILE_LIST\n");
  if (packet == nullptr) return;
  // The received block holds the header and dwDataSize body bytes; no pipe packet carries
  // more than kPipeMaxBody of them.
  if (packet->dwDataSize > kPipeMaxBody) {
    Trace(L"ID_FRAGGED_FILE_LIST with %u body bytes is more than a pipe packet holds; dropped\n",
          static_cast<unsigned>(packet->dwDataSize));
    return;
  }
  const std::uint32_t records = packet->dwDataSize / sizeof(ServiceFraggedRecord);

  CFraggedFileList list(entry.szVolumePath);
  const BYTE* body = PipeBody(packet);
  for (std::uint32_t i = 0; i < records; ++i) {
    ServiceFraggedRecord record;
    std::memcpy(&record, body + static_cast<std::size_t>(i) * sizeof(record), sizeof(record));
    // AddFile reads at most the field's 260 code units and cuts a path not terminated there.
    list.AddFile(record.szPath, record.llFileSize, record.llFragments);  // the list's rules decide
  }
  SendFraggedReport(list, entry);
}

void SendEmptyFraggedReportIfNothingFound(DriveEntry& entry) noexcept {
  if (entry.VolumeStatistics.qw304 != 0 || entry.VolumeStatistics.qw336 != 0) return;
  CFraggedFileList list(entry.szVolumePath);
  SendFraggedReport(list, entry);
}
