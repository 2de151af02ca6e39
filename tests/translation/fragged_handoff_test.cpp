// The fragmented-file report from the service's records to the GUI's drive object.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "pipes/pipe_packet.h"
#include "support/played_data_object.h"
#include "support/resource_dll_registration.h"
#include "support/trace_capture.h"
#include "handoff/commands.h"
#include "translation/fragged_handoff.h"

namespace {

// The GUI's data object for the drive: keeps the command and body of every packet set into it.
class DriveDataObject final : public PlayedDataObject {
 public:
  std::vector<std::pair<std::uint32_t, std::vector<BYTE>>> packets;
  LONG m_cRef = 1;

  STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&m_cRef)); }
  STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(InterlockedDecrement(&m_cRef)); }
  STDMETHODIMP SetData(FORMATETC*, STGMEDIUM* medium, BOOL release) override {
    const BYTE* data = static_cast<const BYTE*>(GlobalLock(medium->hGlobal));
    std::uint32_t length, command;
    std::memcpy(&length, data + 8, 4);
    std::memcpy(&command, data + 12, 4);
    packets.emplace_back(command, std::vector<BYTE>(data + 16, data + 16 + length));
    GlobalUnlock(medium->hGlobal);
    if (release) ReleaseStgMedium(medium);
    return S_OK;
  }
};

// A received packet of `dataSize` body bytes (0xCC where no record is put).
std::vector<BYTE> MakePacket(std::uint32_t dataSize) {
  std::vector<BYTE> block(sizeof(PipePacket) + dataSize, 0xCC);
  PipePacket header{TW4_0::ID_FRAGGED_FILE_LIST, 0, {}, L'D', 0, dataSize};
  std::memcpy(block.data(), &header, sizeof(header));
  return block;
}

void PutRecord(std::vector<BYTE>& packet, std::size_t index, LONGLONG fragments, LONGLONG size, const std::wstring& path) {
  BYTE* record = packet.data() + sizeof(PipePacket) + index * 536;
  std::memset(record, 0, 536);
  std::memcpy(record, &fragments, 8);
  std::memcpy(record + 8, &size, 8);
  std::memcpy(record + 16, path.data(), 2 * std::min<std::size_t>(path.size(), 260));
}

// The transfer buffer expected for drive D, record by record.
struct ExpectedBuffer {
  std::vector<BYTE> bytes = std::vector<BYTE>(106, 0);
  ExpectedBuffer() { std::memcpy(&bytes[4], L"\\\\.\\D:\\", 14); }
  void Add(LONGLONG size, const std::wstring& sizeText, LONGLONG fragments, const std::wstring& count, const std::wstring& path) {
    const std::size_t at = bytes.size();
    bytes.resize(at + 162 + 2 * path.size(), 0);
    std::memcpy(&bytes[at + 8], &size, 8);
    std::memcpy(&bytes[at + 16], sizeText.data(), 2 * sizeText.size());
    std::memcpy(&bytes[at + 80], &fragments, 8);
    std::memcpy(&bytes[at + 88], count.data(), 2 * count.size());
    std::memcpy(&bytes[at + 160], path.data(), 2 * path.size());
    ++bytes[0];
  }
};

class FraggedHandoff : public ::testing::Test {
 protected:
  void SetUp() override {
    wcscpy(m_entry.szVolumePath, L"\\\\.\\D:\\");
    m_entry.pDataIoClient = &m_gui;
  }
  void TearDown() override { EXPECT_EQ(1, m_gui.m_cRef); }
  void Handle(const std::vector<BYTE>& packet) {
    HandleFraggedFileList(reinterpret_cast<const PipePacket*>(packet.data()), m_entry);
  }

  ResourceDllRegistration m_registration;
  DriveDataObject m_gui;
  DriveEntry m_entry{};
};

}  // namespace

TEST_F(FraggedHandoff, SixtyRecordsBecomeOneExactReport) {
  // Every tenth record has 1 fragment, the others 1000 + i: each valid record beyond the first
  // 50 displaces the oldest. Record 57 fills its path field; 100 bytes follow the last record.
  std::vector<BYTE> packet = MakePacket(60 * 536 + 100);
  ExpectedBuffer expected;
  for (int i = 0; i < 60; ++i) {
    const std::wstring name = i == 57 ? std::wstring(260, L'z') : L"DIR\\F" + std::to_wstring(i);
    PutRecord(packet, i, i % 10 == 9 ? 1 : 1000 + i, (i + 1) * 1024, i == 57 ? name : L"\\\\.\\D:\\" + name);
    if (i >= 4 && i % 10 != 9) {
      const std::wstring count = std::to_wstring(1000 + i).insert(1, L",");
      expected.Add((i + 1) * 1024, std::to_wstring(i + 1) + L" KB", 1000 + i, count, name.substr(0, 259));
    }
  }
  TraceCapture trace;
  Handle(packet);
  EXPECT_TRUE(trace.Contains(L"TW4_0::ID_FRAGGED_FILE_LIST\n"));
  ASSERT_EQ(1u, m_gui.packets.size());
  EXPECT_EQ(TW4_5::ID_FRAGGED_DATA, m_gui.packets[0].first);
  EXPECT_EQ(50, expected.bytes[0]);
  EXPECT_TRUE(expected.bytes == m_gui.packets[0].second);
}

TEST_F(FraggedHandoff, ShortBodiesRemaindersAndOversizedBodies) {
  std::vector<BYTE> one = MakePacket(1000);
  PutRecord(one, 0, 7, 100, L"A.TXT");
  Handle(MakePacket(0));
  Handle(one);
  PipePacket oversized{TW4_0::ID_FRAGGED_FILE_LIST, 0, {}, L'D', 0, kPipeMaxBody + 1};
  HandleFraggedFileList(&oversized, m_entry);  // only the header exists: nothing is read
  m_entry.pDataIoClient = nullptr;
  Handle(one);  // no GUI object for the drive: dropped

  ExpectedBuffer single;
  single.Add(100, L"100 bytes", 7, L"7", L"A.TXT");
  ASSERT_EQ(2u, m_gui.packets.size());
  EXPECT_TRUE(ExpectedBuffer().bytes == m_gui.packets[0].second);
  EXPECT_TRUE(single.bytes == m_gui.packets[1].second);
}

TEST_F(FraggedHandoff, EngineExitSendsTheEmptyReportWhenBothCountsAreZero) {
  SendEmptyFraggedReportIfNothingFound(m_entry);
  m_entry.VolumeStatistics.qw304 = 1;
  SendEmptyFraggedReportIfNothingFound(m_entry);
  m_entry.VolumeStatistics.qw304 = 0;
  m_entry.VolumeStatistics.qw336 = 3;
  SendEmptyFraggedReportIfNothingFound(m_entry);
  ASSERT_EQ(1u, m_gui.packets.size());
  EXPECT_EQ(TW4_5::ID_FRAGGED_DATA, m_gui.packets[0].first);
  EXPECT_TRUE(ExpectedBuffer().bytes == m_gui.packets[0].second);
}
