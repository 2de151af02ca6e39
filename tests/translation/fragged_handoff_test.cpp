// The fragmented-file report from the service's records to the GUI's drive object.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "pipes/pipe_packet.h"
#include "support/resource_dll_registration.h"
#include "support/trace_capture.h"
#include "translation/commands.h"
#include "translation/drive_table.h"
#include "translation/fragged_handoff.h"

namespace {

// The GUI's data object for a drive, as far as the report needs it: keeps every packet set
// into it.
class RecordingDataObject : public IDataObject {
 public:
  struct Packet {
    std::uint32_t command;
    std::vector<BYTE> body;
  };
  std::vector<Packet> packets;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IUnknown || riid == IID_IDataObject) {
      *ppv = static_cast<IDataObject*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&m_cRef)); }
  ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(InterlockedDecrement(&m_cRef)); }
  HRESULT STDMETHODCALLTYPE GetData(FORMATETC*, STGMEDIUM*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetDataHere(FORMATETC*, STGMEDIUM*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE QueryGetData(FORMATETC*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetCanonicalFormatEtc(FORMATETC*, FORMATETC*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetData(FORMATETC* format, STGMEDIUM* medium, BOOL release) override {
    EXPECT_EQ(TYMED_HGLOBAL, static_cast<TYMED>(format->tymed));
    EXPECT_EQ(TYMED_HGLOBAL, static_cast<TYMED>(medium->tymed));
    const SIZE_T size = GlobalSize(medium->hGlobal);
    const BYTE* data = static_cast<const BYTE*>(GlobalLock(medium->hGlobal));
    if (data != nullptr && size >= 16) {
      std::uint32_t length, command;
      std::memcpy(&length, data + 8, 4);
      std::memcpy(&command, data + 12, 4);
      EXPECT_LE(16u + length, size);
      if (16u + length <= size) packets.push_back({command, std::vector<BYTE>(data + 16, data + 16 + length)});
      GlobalUnlock(medium->hGlobal);
    }
    if (release) ReleaseStgMedium(medium);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE EnumFormatEtc(DWORD, IEnumFORMATETC**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE DAdvise(FORMATETC*, DWORD, IAdviseSink*, DWORD*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE DUnadvise(DWORD) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE EnumDAdvise(IEnumSTATDATA**) override { return E_NOTIMPL; }
  LONG references() const { return m_cRef; }

 private:
  LONG m_cRef = 1;
};

constexpr std::size_t kRecord = 536;

// A received ID_FRAGGED_FILE_LIST packet: header, then `dataSize` body bytes (records laid
// in by the caller, the rest 0xCC).
std::vector<BYTE> MakePacket(std::uint32_t dataSize) {
  std::vector<BYTE> block(sizeof(PipePacket) + dataSize, 0xCC);
  PipePacket header{};
  header.dwCommand = TW4_0::ID_FRAGGED_FILE_LIST;
  header.cDrive = L'D';
  header.dwDataSize = dataSize;
  std::memcpy(block.data(), &header, sizeof(header));
  return block;
}

// A path of 260 units fills its field without a terminator.
void PutRecord(std::vector<BYTE>& packet, std::size_t index, std::int64_t fragments, std::int64_t size,
               const std::wstring& path) {
  ASSERT_LE(path.size(), 260u);
  BYTE* record = packet.data() + sizeof(PipePacket) + index * kRecord;
  std::memset(record, 0, kRecord);
  std::memcpy(record, &fragments, 8);
  std::memcpy(record + 8, &size, 8);
  std::memcpy(record + 16, path.data(), 2 * path.size());
}

// The expected transfer buffer, field by field.
class ExpectedBuffer {
 public:
  explicit ExpectedBuffer(const wchar_t* volume) : m_bytes(106, 0) { std::memcpy(&m_bytes[4], volume, 2 * wcslen(volume)); }
  void Add(std::int64_t size, const std::wstring& sizeText, std::int64_t fragments, const std::wstring& fragmentText,
           const std::wstring& path) {
    const std::size_t at = m_bytes.size();
    m_bytes.resize(at + 160 + 2 * (path.size() + 1), 0);
    std::memcpy(&m_bytes[at + 8], &size, 8);
    std::memcpy(&m_bytes[at + 16], sizeText.data(), 2 * sizeText.size());
    std::memcpy(&m_bytes[at + 80], &fragments, 8);
    std::memcpy(&m_bytes[at + 88], fragmentText.data(), 2 * fragmentText.size());
    std::memcpy(&m_bytes[at + 160], path.data(), 2 * path.size());
    ++m_count;
    std::memcpy(&m_bytes[0], &m_count, 4);
  }
  const std::vector<BYTE>& bytes() const { return m_bytes; }

 private:
  std::vector<BYTE> m_bytes;
  std::uint32_t m_count = 0;
};

class FraggedHandoffTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ZeroMemory(&m_entry, sizeof(m_entry));
    wcscpy(m_entry.szVolumePath, L"\\\\.\\D:\\");
    m_entry.pDataIoClient = &m_gui;
  }
  void TearDown() override { EXPECT_EQ(1, m_gui.references()); }

  ResourceDllRegistration m_registration;
  RecordingDataObject m_gui;
  DriveEntry m_entry;
};

}  // namespace

TEST_F(FraggedHandoffTest, SixtyRecordsBecomeOneExactReport) {
  // Every tenth record has 1 fragment; the others 1000 + i, so each valid record beyond the
  // first 50 displaces the oldest. A remainder of 100 bytes follows the last whole record.
  std::vector<BYTE> packet = MakePacket(60 * kRecord + 100);
  for (int i = 0; i < 60; ++i) {
    const std::int64_t fragments = i % 10 == 9 ? 1 : 1000 + i;
    if (i == 57) {
      PutRecord(packet, 57, fragments, 58 * 1024, std::wstring(260, L'z'));
    } else {
      PutRecord(packet, i, fragments, (i + 1) * 1024, L"\\\\.\\D:\\DIR\\FILE" + std::to_wstring(i) + L".TXT");
    }
  }

  TraceCapture trace;
  HandleFraggedFileList(reinterpret_cast<const PipePacket*>(packet.data()), m_entry);
  EXPECT_TRUE(trace.Contains(L"TW4_0::ID_FRAGGED_FILE_LIST\n"));

  ExpectedBuffer expected(L"\\\\.\\D:\\");
  for (int i = 4; i < 60; ++i) {
    if (i % 10 == 9) continue;
    const std::wstring count = std::to_wstring(1000 + i);
    expected.Add((i + 1) * 1024, std::to_wstring(i + 1) + L" KB", 1000 + i, count.substr(0, 1) + L"," + count.substr(1),
                 i == 57 ? std::wstring(259, L'z') : L"DIR\\FILE" + std::to_wstring(i) + L".TXT");
  }
  ASSERT_EQ(1u, m_gui.packets.size());
  EXPECT_EQ(TW4_5::ID_FRAGGED_DATA, m_gui.packets[0].command);
  const std::vector<BYTE>& body = m_gui.packets[0].body;
  ASSERT_EQ(expected.bytes().size(), body.size());
  EXPECT_EQ(50u, body[0]);
  EXPECT_TRUE(expected.bytes() == body);
}

TEST_F(FraggedHandoffTest, BodiesShorterThanARecordAndRemainders) {
  std::vector<BYTE> empty = MakePacket(0);
  HandleFraggedFileList(reinterpret_cast<const PipePacket*>(empty.data()), m_entry);
  std::vector<BYTE> partial = MakePacket(535);
  HandleFraggedFileList(reinterpret_cast<const PipePacket*>(partial.data()), m_entry);
  std::vector<BYTE> one = MakePacket(1000);
  PutRecord(one, 0, 7, 100, L"A.TXT");
  HandleFraggedFileList(reinterpret_cast<const PipePacket*>(one.data()), m_entry);

  ASSERT_EQ(3u, m_gui.packets.size());
  ExpectedBuffer none(L"\\\\.\\D:\\");
  EXPECT_TRUE(none.bytes() == m_gui.packets[0].body);
  EXPECT_TRUE(none.bytes() == m_gui.packets[1].body);
  ExpectedBuffer single(L"\\\\.\\D:\\");
  single.Add(100, L"100 bytes", 7, L"7", L"A.TXT");
  EXPECT_EQ(106u + 162 + 10, m_gui.packets[2].body.size());
  EXPECT_TRUE(single.bytes() == m_gui.packets[2].body);

  // No GUI object for the drive: the report is dropped.
  m_entry.pDataIoClient = nullptr;
  HandleFraggedFileList(reinterpret_cast<const PipePacket*>(one.data()), m_entry);
  EXPECT_EQ(3u, m_gui.packets.size());
}

TEST_F(FraggedHandoffTest, BodyLargerThanAPipePacketIsDropped) {
  // Only the header exists: a body size beyond what a pipe packet carries must not be read.
  PipePacket header{};
  header.dwCommand = TW4_0::ID_FRAGGED_FILE_LIST;
  header.cDrive = L'D';
  header.dwDataSize = kPipeMaxBody + 1;
  TraceCapture trace;
  HandleFraggedFileList(&header, m_entry);
  EXPECT_TRUE(trace.Contains(L"TW4_0::ID_FRAGGED_FILE_LIST\n"));
  EXPECT_TRUE(trace.ContainsPart(L"dropped"));
  EXPECT_TRUE(m_gui.packets.empty());

  // The largest body a packet holds, 111 records and 376 bytes more, still goes through.
  std::vector<BYTE> largest = MakePacket(kPipeMaxBody);
  for (std::size_t i = 0; i < kPipeMaxBody / kRecord; ++i) PutRecord(largest, i, 1, 1, L"x");
  HandleFraggedFileList(reinterpret_cast<const PipePacket*>(largest.data()), m_entry);
  ASSERT_EQ(1u, m_gui.packets.size());
  EXPECT_EQ(106u, m_gui.packets[0].body.size());
}

TEST_F(FraggedHandoffTest, EngineExitSendsTheEmptyReportOnlyWhenBothCountsAreZero) {
  m_entry.VolumeStatistics.qw296 = 5;  // other values do not matter
  SendEmptyFraggedReportIfNothingFound(m_entry);
  ASSERT_EQ(1u, m_gui.packets.size());
  EXPECT_EQ(TW4_5::ID_FRAGGED_DATA, m_gui.packets[0].command);
  EXPECT_TRUE(ExpectedBuffer(L"\\\\.\\D:\\").bytes() == m_gui.packets[0].body);

  m_entry.VolumeStatistics.qw304 = 1;
  SendEmptyFraggedReportIfNothingFound(m_entry);
  m_entry.VolumeStatistics.qw304 = 0;
  m_entry.VolumeStatistics.qw336 = 3;
  SendEmptyFraggedReportIfNothingFound(m_entry);
  EXPECT_EQ(1u, m_gui.packets.size());

  // A drive the GUI never asked about has an empty volume path.
  m_entry.VolumeStatistics.qw336 = 0;
  m_entry.szVolumePath[0] = L'\0';
  SendEmptyFraggedReportIfNothingFound(m_entry);
  ASSERT_EQ(2u, m_gui.packets.size());
  EXPECT_TRUE(std::vector<BYTE>(106, 0) == m_gui.packets[1].body);
}
