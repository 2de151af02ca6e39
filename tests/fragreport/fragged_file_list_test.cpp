// The list of the most fragmented files and its transfer buffer.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "fragreport/fragged_file_list.h"
#include "shared/alloc.h"
#include "support/resource_dll_registration.h"
#include "support/trace_capture.h"

namespace {

constexpr const wchar_t* kVolume = L"\\\\.\\C:\\";

// Little-endian readers over the transfer buffer.
std::uint32_t U32(const BYTE* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
std::int64_t I64(const BYTE* p) {
  std::int64_t v;
  std::memcpy(&v, p, 8);
  return v;
}
std::wstring Text(const BYTE* p, std::size_t maxUnits) {
  std::wstring s;
  for (std::size_t i = 0; i < maxUnits; ++i) {
    wchar_t c;
    std::memcpy(&c, p + 2 * i, 2);
    if (c == 0) break;
    s.push_back(c);
  }
  return s;
}

std::vector<std::wstring> Names(const CFraggedFileList& list) {
  std::vector<std::wstring> names;
  for (int i = 0; i < list.GetCount(); ++i) names.emplace_back(list.GetAt(i)->GetName());
  return names;
}

std::vector<LONGLONG> Counts(const CFraggedFileList& list) {
  std::vector<LONGLONG> counts;
  for (int i = 0; i < list.GetCount(); ++i) counts.push_back(list.GetAt(i)->GetFragments());
  return counts;
}

HGLOBAL WINAPI FailingGlobalAlloc(UINT, SIZE_T) {
  SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return nullptr;
}

class FraggedFileListTest : public ::testing::Test {
 protected:
  ResourceDllRegistration m_registration;
};

}  // namespace

TEST_F(FraggedFileListTest, FewerThanTwoFragmentsRefused) {
  CFraggedFileList list(kVolume);
  EXPECT_EQ(-1, list.AddFile(L"a", 10, 0));
  EXPECT_EQ(-1, list.AddFile(L"b", 10, 1));
  EXPECT_EQ(-1, list.AddFile(L"c", 10, -7));
  EXPECT_EQ(0, list.GetCount());
  EXPECT_EQ(0, g_cResourceDllRef);  // no entry was ever made
  EXPECT_EQ(0, list.AddFile(L"d", 10, 2));
  EXPECT_EQ(1, list.GetCount());
  EXPECT_EQ(kInitialMinFragments, 99999);
  EXPECT_EQ(2, list.GetMinFragments());
}

TEST_F(FraggedFileListTest, FirstFiftyKeptInOrderThenTiesLoseAndDisplacementGoesLast) {
  CFraggedFileList list(kVolume);
  // Counts 100 + i, except that 5 appears at indices 10 and 30 (the later one is tracked).
  std::vector<LONGLONG> counts;
  for (int i = 0; i < kMaxFraggedFiles; ++i) {
    const LONGLONG count = (i == 10 || i == 30) ? 5 : 100 + i;
    counts.push_back(count);
    EXPECT_EQ(i, list.AddFile((L"f" + std::to_wstring(i)).c_str(), 1000 + i, count));
  }
  ASSERT_EQ(50, list.GetCount());
  EXPECT_EQ(counts, Counts(list));
  EXPECT_EQ(L"f0", Names(list).front());
  EXPECT_EQ(L"f49", Names(list).back());
  EXPECT_EQ(5, list.GetMinFragments());
  EXPECT_EQ(30, list.GetMinFragmentsIndex());

  EXPECT_EQ(-1, list.AddFile(L"tie", 1, 5));  // a tie with the tracked minimum loses
  EXPECT_EQ(-1, list.AddFile(L"less", 1, 4));
  EXPECT_EQ(counts, Counts(list));

  EXPECT_EQ(49, list.AddFile(L"new", 1, 6));  // displaces index 30, goes to the end
  ASSERT_EQ(50, list.GetCount());
  counts.erase(counts.begin() + 30);
  counts.push_back(6);
  EXPECT_EQ(counts, Counts(list));
  EXPECT_EQ(L"f31", Names(list)[30]);
  EXPECT_EQ(L"new", Names(list)[49]);
  // The rescan tracks the lowest index among equal smallest counts.
  EXPECT_EQ(5, list.GetMinFragments());
  EXPECT_EQ(10, list.GetMinFragmentsIndex());

  EXPECT_EQ(49, list.AddFile(L"newer", 1, 7));  // displaces index 10
  EXPECT_EQ(L"f11", Names(list)[10]);
  EXPECT_EQ(6, list.GetMinFragments());
  EXPECT_EQ(48, list.GetMinFragmentsIndex());  // "new", moved up by one
}

TEST_F(FraggedFileListTest, StartingValueQuirkDisplacesIndexZero) {
  CFraggedFileList list(kVolume);
  for (int i = 0; i < kMaxFraggedFiles; ++i) ASSERT_EQ(i, list.AddFile(L"big", 1, 300000 - i));
  // No kept entry is at or below 99,999: the tracking never moved.
  EXPECT_EQ(99999, list.GetMinFragments());
  EXPECT_EQ(0, list.GetMinFragmentsIndex());
  EXPECT_EQ(-1, list.AddFile(L"x", 1, 99999));

  // 100,000 displaces index 0 (300,000), although 299,951 is the smallest count kept.
  EXPECT_EQ(49, list.AddFile(L"x", 1, 100000));
  EXPECT_EQ(299999, list.GetAt(0)->GetFragments());
  EXPECT_EQ(100000, list.GetAt(49)->GetFragments());
  EXPECT_EQ(100000, list.GetMinFragments());
  EXPECT_EQ(49, list.GetMinFragmentsIndex());

  // A rescan starts at 999,999: when every count is above it, the tracking stays there with
  // index 0, and a newcomer above it is not tracked either.
  CFraggedFileList huge(kVolume);
  for (int i = 0; i < kMaxFraggedFiles; ++i) ASSERT_EQ(i, huge.AddFile(L"h", 1, 5000000 + i));
  EXPECT_EQ(49, huge.AddFile(L"h", 1, 4000000));
  EXPECT_EQ(5000001, huge.GetAt(0)->GetFragments());
  EXPECT_EQ(999999, huge.GetMinFragments());
  EXPECT_EQ(0, huge.GetMinFragmentsIndex());
  EXPECT_EQ(49, huge.AddFile(L"h", 1, 1000000));  // displaces index 0 again, not 4,000,000
  EXPECT_EQ(5000002, huge.GetAt(0)->GetFragments());
  EXPECT_EQ(4000000, huge.GetAt(48)->GetFragments());
}

TEST_F(FraggedFileListTest, VolumePrefixInAllShapes) {
  CFraggedFileList list(kVolume);
  EXPECT_EQ(0, list.AddFile(L"\\\\.\\C:\\DIR\\FILE.TXT", 1, 2));
  EXPECT_EQ(1, list.AddFile(L"C:\\DIR\\FILE.TXT", 1, 2));      // no two backslashes
  EXPECT_EQ(2, list.AddFile(L"\\\\.\\C:\\", 1, 2));             // not longer than the volume
  EXPECT_EQ(3, list.AddFile(L"\\\\?\\D:\\X\\Y.TXT", 1, 2));     // another volume still loses 7
  EXPECT_EQ(4, list.AddFile(L"\\\\.\\C:\\Z", 1, 2));            // one unit longer
  EXPECT_EQ((std::vector<std::wstring>{L"DIR\\FILE.TXT", L"C:\\DIR\\FILE.TXT", L"\\\\.\\C:\\", L"X\\Y.TXT", L"Z"}),
            Names(list));

  CFraggedFileList noVolume(L"");
  EXPECT_EQ(0, noVolume.AddFile(L"\\\\.\\C:\\DIR\\FILE.TXT", 1, 2));
  EXPECT_EQ(L"\\\\.\\C:\\DIR\\FILE.TXT", Names(noVolume)[0]);
}

TEST_F(FraggedFileListTest, PathsAndVolumeKeptWithinTheirFields) {
  TraceCapture trace;
  CFraggedFileList unnamed(nullptr);
  EXPECT_TRUE(trace.Contains(L"CFraggedFileList::CFraggedFileList"));
  EXPECT_EQ(std::wstring(L""), unnamed.GetVolume());
  CFraggedFile noPath(nullptr, 5, 5);
  EXPECT_TRUE(trace.Contains(L"CFraggedFile::CFraggedFile"));
  EXPECT_FALSE(noPath.HasName());
  EXPECT_EQ(std::wstring(L""), noPath.GetFileSizeText());
  EXPECT_EQ(-1, unnamed.AddFile(nullptr, 1, 5));

  const std::wstring longVolume(80, L'v');
  CFraggedFileList list(longVolume.c_str());
  EXPECT_EQ(std::wstring(50, L'v'), list.GetVolume());

  // 300 units without a terminator among the first 260: only 259 are kept.
  std::vector<wchar_t> unterminated(300, L'p');
  EXPECT_EQ(0, list.AddFile(unterminated.data(), 1, 2));
  EXPECT_EQ(259u, list.GetAt(0)->GetNameLength());
  EXPECT_EQ(std::wstring(259, L'p'), list.GetAt(0)->GetName());
}

TEST_F(FraggedFileListTest, RemoveAtClosesTheGap) {
  CFraggedFileList list(kVolume);
  for (int i = 0; i < 4; ++i) list.AddFile((L"f" + std::to_wstring(i)).c_str(), 1, 2 + i);
  EXPECT_FALSE(list.RemoveAt(-1));
  EXPECT_FALSE(list.RemoveAt(4));
  EXPECT_TRUE(list.RemoveAt(1));
  EXPECT_EQ((std::vector<std::wstring>{L"f0", L"f2", L"f3"}), Names(list));
  EXPECT_TRUE(list.RemoveAt(2));
  EXPECT_TRUE(list.RemoveAt(0));
  EXPECT_TRUE(list.RemoveAt(0));
  EXPECT_EQ(0, list.GetCount());
  EXPECT_EQ(nullptr, list.GetAt(0));
  EXPECT_EQ(0, g_cResourceDllRef);  // the last entry took the module with it
}

TEST_F(FraggedFileListTest, EmptyListBufferIs106Bytes) {
  CFraggedFileList list(kVolume);
  ASSERT_TRUE(list.CreateTransferBuffer());
  ASSERT_EQ(106u, list.GetTransferBufferSize());
  const BYTE* buffer = list.GetTransferBuffer();
  ASSERT_NE(nullptr, buffer);
  EXPECT_EQ(0u, U32(buffer));
  EXPECT_EQ(kVolume, Text(buffer + 4, 51));
  for (int i = 4 + 2 * 8; i < 106; ++i) EXPECT_EQ(0, buffer[i]) << i;  // after the terminator
}

TEST_F(FraggedFileListTest, OneEntryWithATenUnitPathIs288BytesExactly) {
  CFraggedFileList list(kVolume);
  ASSERT_EQ(0, list.AddFile(L"\\\\.\\C:\\ABCDEFGHIJ", 2048, 12345));  // kept as ABCDEFGHIJ
  ASSERT_TRUE(list.CreateTransferBuffer());
  ASSERT_EQ(288u, list.GetTransferBufferSize());
  const BYTE* buffer = list.GetTransferBuffer();
  ASSERT_NE(nullptr, buffer);
  ASSERT_EQ(288u, GlobalSize(GlobalHandle(buffer)));

  std::vector<BYTE> expected(288, 0);
  const std::uint32_t one = 1;
  std::memcpy(&expected[0], &one, 4);
  std::memcpy(&expected[4], kVolume, 2 * 7);
  const std::int64_t size = 2048, fragments = 12345;
  std::memcpy(&expected[106 + 8], &size, 8);
  std::memcpy(&expected[106 + 16], L"2 KB", 2 * 4);
  std::memcpy(&expected[106 + 80], &fragments, 8);
  std::memcpy(&expected[106 + 88], L"12,345", 2 * 6);
  std::memcpy(&expected[106 + 160], L"ABCDEFGHIJ", 2 * 10);
  EXPECT_EQ(0, std::memcmp(expected.data(), buffer, 288));
  EXPECT_EQ(L"2 KB", Text(buffer + 106 + 16, 32));
  EXPECT_EQ(L"ABCDEFGHIJ", Text(buffer + 106 + 160, 10));
}

TEST_F(FraggedFileListTest, FullListOfMaximalPathsStaysWithinTheBound) {
  CFraggedFileList list(kVolume);
  std::vector<wchar_t> path(260, L'q');  // no terminator inside the field
  for (int i = 0; i < kMaxFraggedFiles; ++i) {
    path[0] = static_cast<wchar_t>(L'A' + i % 26);
    ASSERT_EQ(i, list.AddFile(path.data(), 107374181400000LL, 9223372036854775807LL));
  }
  EXPECT_EQ(-1, list.AddFile(path.data(), 1, 2));
  ASSERT_TRUE(list.CreateTransferBuffer());
  EXPECT_EQ(34106u, list.GetTransferBufferSize());
  const BYTE* buffer = list.GetTransferBuffer();
  EXPECT_EQ(50u, U32(buffer));
  // Records of 680 bytes back to back: the last one ends the buffer.
  const BYTE* last = buffer + 106 + 49 * 680;
  EXPECT_EQ(0, I64(last));
  EXPECT_EQ(107374181400000LL, I64(last + 8));
  EXPECT_EQ(L"99,999 GB", Text(last + 16, 32));
  EXPECT_EQ(9223372036854775807LL, I64(last + 80));
  EXPECT_EQ(L"9,223,372,036,854,775,807", Text(last + 88, 32));
  EXPECT_EQ(static_cast<wchar_t>(L'A' + 49 % 26), Text(last + 160, 259)[0]);
  EXPECT_EQ(259u, Text(last + 160, 260).size());
  EXPECT_EQ(0, last[160 + 518] | last[160 + 519]);
}

TEST_F(FraggedFileListTest, RebuildResizesAndFailureIsTraced) {
  CFraggedFileList list(kVolume);
  ASSERT_TRUE(list.CreateTransferBuffer());
  EXPECT_EQ(106u, list.GetTransferBufferSize());
  list.AddFile(L"abc", 5, 3);
  ASSERT_TRUE(list.CreateTransferBuffer());
  EXPECT_EQ(106u + 162 + 6, list.GetTransferBufferSize());
  EXPECT_EQ(1u, U32(list.GetTransferBuffer()));
  EXPECT_EQ(L"abc", Text(list.GetTransferBuffer() + 106 + 160, 4));
  EXPECT_TRUE(list.ReleaseTransferBuffer());
  EXPECT_EQ(nullptr, list.GetTransferBuffer());
  EXPECT_TRUE(list.ReleaseTransferBuffer());  // nothing left to release

  TraceCapture trace;
  SetAllocateMemoryCalls(FailingGlobalAlloc, nullptr);
  EXPECT_FALSE(list.CreateTransferBuffer());
  SetAllocateMemoryCalls(nullptr, nullptr);
  EXPECT_TRUE(trace.Contains(L"CFraggedFileList::CreateTransferBuffer - AllocateMemory"));
  EXPECT_EQ(nullptr, list.GetTransferBuffer());
  EXPECT_EQ(106u + 162 + 6, list.GetTransferBufferSize());  // stored all the same
}

TEST_F(FraggedFileListTest, DestroyingTheListReleasesEverything) {
  HGLOBAL block = nullptr;
  {
    CFraggedFileList list(kVolume);
    list.AddFile(L"a", 1, 2);
    list.AddFile(L"b", 1, 3);
    EXPECT_EQ(2, g_cResourceDllRef);
    ASSERT_TRUE(list.CreateTransferBuffer());
    block = GlobalHandle(list.GetTransferBuffer());
    ASSERT_NE(nullptr, block);
    EXPECT_EQ(1u, GlobalFlags(block) & GMEM_LOCKCOUNT);
  }
  EXPECT_EQ(0, g_cResourceDllRef);
  EXPECT_EQ(nullptr, g_hResourceDll);
  EXPECT_EQ(nullptr, GetModuleHandleW(L"tarnswell_res.dll"));
  EXPECT_EQ(GMEM_INVALID_HANDLE, GlobalFlags(block));
}
