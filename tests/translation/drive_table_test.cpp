// The drive index rule and the three bodies in which a drive's state reaches the GUI.

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "translation/drive_table.h"

namespace {

TEST(DriveIndex, LettersOfEitherCaseNameTheSameEntryAndNothingElseNamesOne) {
  EXPECT_EQ(2, GetDriveIndex(L'c'));
  EXPECT_EQ(2, GetDriveIndex(L'C'));
  EXPECT_EQ(0, GetDriveIndex(L'A'));
  EXPECT_EQ(25, GetDriveIndex(L'z'));
  EXPECT_EQ(191, GetDriveIndex(0));
  EXPECT_EQ(&g_DriveTable[2], FindDriveEntry(L'c'));
  EXPECT_EQ(&g_DriveTable[25], FindDriveEntry(L'Z'));
  for (WCHAR bad : {WCHAR(0), WCHAR(L'@'), WCHAR(L'['), WCHAR(L'1'), WCHAR(0x0141), WCHAR(0x0143), WCHAR(0xFF41)}) {
    EXPECT_EQ(nullptr, FindDriveEntry(bad)) << static_cast<int>(bad);
  }
}

// Little-endian bytes of a wide text as a body carries it.
std::vector<BYTE> Utf16(const wchar_t* text) {
  std::vector<BYTE> bytes;
  for (; *text; ++text) {
    bytes.push_back(static_cast<BYTE>(*text & 0xFF));
    bytes.push_back(static_cast<BYTE>(*text >> 8));
  }
  return bytes;
}

template <typename Body>
std::vector<BYTE> BytesOf(const Body& body) {
  const BYTE* p = reinterpret_cast<const BYTE*>(&body);
  return std::vector<BYTE>(p, p + sizeof(body));
}

class DriveBodiesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ZeroDriveTable();
    entry = FindDriveEntry(L'd');
    ASSERT_NE(nullptr, entry);
    StartNewOperation(*entry, L'D', kOperationDefrag);
    entry->dwEngineState = ENGINE_DEFRAGGING;
    entry->dwPercentDone = 0x11223344;
    wcscpy(entry->szFileSystem, L"NTFS");
  }
  DriveEntry* entry = nullptr;
};

TEST_F(DriveBodiesTest, VolumePathBodyIs102BytesOfPath) {
  std::vector<BYTE> expected(102, 0);
  const auto path = Utf16(L"\\\\.\\D:\\");
  ASSERT_EQ(14u, path.size());
  std::memcpy(expected.data(), path.data(), path.size());
  EXPECT_EQ(expected, BytesOf(MakeVolumePathBody(*entry)));
}

TEST_F(DriveBodiesTest, StatusBodyCarriesPercentAndStateAfterThePath) {
  std::vector<BYTE> expected(112, 0);
  const auto path = Utf16(L"\\\\.\\D:\\");
  std::memcpy(expected.data(), path.data(), path.size());
  const BYTE tail[8] = {0x44, 0x33, 0x22, 0x11, 5, 0, 0, 0};
  std::memcpy(expected.data() + 104, tail, 8);
  EXPECT_EQ(expected, BytesOf(MakeStatusBody(*entry)));

  const auto other = BytesOf(MakeStatusBody(*entry, 100));
  EXPECT_EQ(100, other[104]);
}

TEST_F(DriveBodiesTest, EngineInfoBodyCarriesPathFileSystemAndOperation) {
  std::vector<BYTE> expected(140, 0);
  const auto path = Utf16(L"\\\\.\\D:\\");
  const auto fs = Utf16(L"NTFS");
  std::memcpy(expected.data(), path.data(), path.size());
  std::memcpy(expected.data() + 102, fs.data(), fs.size());
  expected[136] = 2;
  EXPECT_EQ(expected, BytesOf(MakeEngineInfoBody(*entry)));
}

TEST_F(DriveBodiesTest, NewOperationResetsTheRunButKeepsConnectionsAndIdentities) {
  MakeGuiDriveClsid(*entry);
  const std::wstring clsidText = entry->szGuiDriveClsid;
  ASSERT_EQ(38u, clsidText.size());
  auto* fakeClient = reinterpret_cast<IDataObject*>(0x1000);
  entry->pDataIoClient = fakeClient;
  entry->bBeginScanSent = TRUE;
  entry->dwPass = 3;
  entry->VolumeStatistics.qw304 = 7;

  StartNewOperation(*entry, L'd', kOperationAnalyze);
  EXPECT_EQ(fakeClient, entry->pDataIoClient);
  EXPECT_EQ(clsidText, entry->szGuiDriveClsid);
  EXPECT_STREQ(L"NTFS", entry->szFileSystem);
  EXPECT_STREQ(L"\\\\.\\d:\\", entry->szVolumePath);
  EXPECT_FALSE(entry->bBeginScanSent);
  EXPECT_EQ(0u, entry->dwPass);
  EXPECT_EQ(0u, entry->dwEngineState);
  EXPECT_EQ(0u, entry->VolumeStatistics.qw304);
  EXPECT_EQ(kOperationAnalyze, entry->dwAnalyzeOrDefrag);

  MakeGuiDriveClsid(*entry);  // made once, kept after
  EXPECT_EQ(clsidText, entry->szGuiDriveClsid);
  entry->pDataIoClient = nullptr;
}

}  // namespace
