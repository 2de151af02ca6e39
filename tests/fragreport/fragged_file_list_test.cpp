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

std::vector<LONGLONG> Counts(const CFraggedFileList& list) {
  std::vector<LONGLONG> counts;
  for (int i = 0; i < list.GetCount(); ++i) counts.push_back(list.GetAt(i)->GetFragments());
  return counts;
}

std::wstring Text(const BYTE* p, std::size_t units) {
  std::wstring s(units, L'\0');
  std::memcpy(&s[0], p, 2 * units);
  return s.substr(0, s.find(L'\0'));
}

HGLOBAL WINAPI FailAlloc(UINT, SIZE_T) { return SetLastError(ERROR_NOT_ENOUGH_MEMORY), nullptr; }

class FraggedFileList : public ::testing::Test {
  ResourceDllRegistration m_registration;
};

}  // namespace

TEST_F(FraggedFileList, CapTrackedMinimumAndArrivalOrder) {
  CFraggedFileList list(kVolume);
  EXPECT_EQ(-1, list.AddFile(L"a", 1, 1));
  EXPECT_EQ(-1, list.AddFile(L"a", 1, 0));
  EXPECT_EQ(-1, list.AddFile(L"a", 1, -3));
  std::vector<LONGLONG> counts;  // 100 + i, except 5 at indices 10 and 30
  for (int i = 0; i < 50; ++i) {
    counts.push_back(i == 10 || i == 30 ? 5 : 100 + i);
    ASSERT_EQ(i, list.AddFile((L"f" + std::to_wstring(i)).c_str(), 1, counts.back()));
  }
  EXPECT_EQ(counts, Counts(list));
  EXPECT_EQ(30, list.GetMinFragmentsIndex());  // a tie while filling moves to the newcomer
  EXPECT_EQ(-1, list.AddFile(L"tie", 1, 5));
  EXPECT_EQ(49, list.AddFile(L"new", 1, 6));  // displaces index 30, goes to the end
  counts.erase(counts.begin() + 30);
  counts.push_back(6);
  EXPECT_EQ(counts, Counts(list));
  EXPECT_EQ(std::wstring(L"f31"), list.GetAt(30)->GetName());
  EXPECT_EQ(10, list.GetMinFragmentsIndex());  // the rescan keeps the first of equal counts
  EXPECT_EQ(5, list.GetMinFragments());

  EXPECT_FALSE(list.RemoveAt(50));
  EXPECT_FALSE(list.RemoveAt(-1));
  while (list.GetCount() > 0) ASSERT_TRUE(list.RemoveAt(0));
  EXPECT_EQ(0, g_cResourceDllRef);  // the last entry took the resource module with it
}

TEST_F(FraggedFileList, KeepsTheMostFragmentedFilesWhateverTheirCounts) {
  CFraggedFileList list(kVolume);
  for (int i = 0; i < 50; ++i) list.AddFile(L"big", 1, 3000000 - i);
  EXPECT_EQ(2999951, list.GetMinFragments());
  EXPECT_EQ(49, list.GetMinFragmentsIndex());
  EXPECT_EQ(-1, list.AddFile(L"fewer", 1, 1000000));  // fewer than every file kept
  EXPECT_EQ(49, list.AddFile(L"x", 1, 4000000));      // displaces the least fragmented
  EXPECT_EQ(3000000, list.GetAt(0)->GetFragments());  // the worst file stays
  EXPECT_EQ(2999952, list.GetMinFragments());
  EXPECT_EQ(48, list.GetMinFragmentsIndex());
}

TEST_F(FraggedFileList, VolumePrefixAndFieldLimits) {
  CFraggedFileList list(kVolume);
  const std::vector<std::pair<std::wstring, std::wstring>> paths = {
      {L"\\\\.\\C:\\DIR\\FILE.TXT", L"DIR\\FILE.TXT"},
      {L"C:\\DIR\\FILE.TXT", L"C:\\DIR\\FILE.TXT"},  // no two backslashes
      {L"\\\\.\\C:\\", L"\\\\.\\C:\\"},              // not longer than the volume path
      {L"\\\\?\\D:\\X\\Y.TXT", L"X\\Y.TXT"},         // another volume loses as much
      {std::wstring(300, L'p'), std::wstring(259, L'p')},  // cut at its field
  };
  for (const auto& [given, kept] : paths) {
    const int index = list.AddFile(given.c_str(), 1, 2);
    EXPECT_EQ(kept, list.GetAt(index)->GetName());
  }
  CFraggedFileList noVolume(L"");
  noVolume.AddFile(paths[0].first.c_str(), 1, 2);
  EXPECT_EQ(paths[0].first, noVolume.GetAt(0)->GetName());

  TraceCapture trace;
  CFraggedFileList unnamed(nullptr);
  EXPECT_TRUE(trace.Contains(L"CFraggedFileList::CFraggedFileList"));
  EXPECT_EQ(std::wstring(L""), unnamed.GetVolume());
  CFraggedFileList longVolume(std::wstring(80, L'v').c_str());
  EXPECT_EQ(std::wstring(50, L'v'), longVolume.GetVolume());
}

TEST_F(FraggedFileList, TransferBuffersByteExact) {
  CFraggedFileList list(kVolume);
  ASSERT_TRUE(list.CreateTransferBuffer());
  std::vector<BYTE> expected(106, 0);
  std::memcpy(&expected[4], kVolume, 14);
  ASSERT_EQ(106u, list.GetTransferBufferSize());
  EXPECT_EQ(0, std::memcmp(expected.data(), list.GetTransferBuffer(), 106));

  ASSERT_EQ(0, list.AddFile(L"\\\\.\\C:\\ABCDEFGHIJ", 2048, 12345));
  ASSERT_TRUE(list.CreateTransferBuffer());  // the same block, resized
  ASSERT_EQ(288u, list.GetTransferBufferSize());
  expected.resize(288, 0);
  expected[0] = 1;
  const LONGLONG size = 2048, fragments = 12345;
  std::memcpy(&expected[106 + 8], &size, 8);
  std::memcpy(&expected[106 + 16], L"2 KB", 8);
  std::memcpy(&expected[106 + 80], &fragments, 8);
  std::memcpy(&expected[106 + 88], L"12,345", 12);
  std::memcpy(&expected[106 + 160], L"ABCDEFGHIJ", 20);
  EXPECT_EQ(0, std::memcmp(expected.data(), list.GetTransferBuffer(), 288));
  ASSERT_TRUE(list.CreateTransferBuffer());  // the same size again: still one lock
  EXPECT_EQ(0, std::memcmp(expected.data(), list.GetTransferBuffer(), 288));
  EXPECT_EQ(1u, GlobalFlags(GlobalHandle(list.GetTransferBuffer())) & GMEM_LOCKCOUNT);

  TraceCapture trace;
  SetAllocateMemoryCalls(FailAlloc, nullptr);
  ASSERT_TRUE(list.ReleaseTransferBuffer());
  EXPECT_FALSE(list.CreateTransferBuffer());
  SetAllocateMemoryCalls(nullptr, nullptr);
  EXPECT_TRUE(trace.Contains(L"CFraggedFileList::CreateTransferBuffer - AllocateMemory"));
  EXPECT_EQ(nullptr, list.GetTransferBuffer());
}

TEST_F(FraggedFileList, FullListOfMaximalPathsStaysWithinTheBound) {
  HGLOBAL block = nullptr;
  {
    CFraggedFileList list(kVolume);
    const std::wstring path(260, L'q');  // no terminator inside the field
    for (int i = 0; i < 50; ++i) list.AddFile(path.c_str(), 107374181400000LL, 9223372036854775807LL);
    ASSERT_TRUE(list.CreateTransferBuffer());
    EXPECT_EQ(34106u, list.GetTransferBufferSize());
    const BYTE* last = list.GetTransferBuffer() + 106 + 49 * 680;
    EXPECT_EQ(L"99,999 GB", Text(last + 16, 32));
    EXPECT_EQ(L"9,223,372,036,854,775,807", Text(last + 88, 32));
    EXPECT_EQ(std::wstring(259, L'q'), Text(last + 160, 260));
    block = GlobalHandle(list.GetTransferBuffer());
  }
  EXPECT_EQ(static_cast<UINT>(GMEM_INVALID_HANDLE), GlobalFlags(block));  // freed with the list
  EXPECT_EQ(nullptr, g_hResourceDll);
}
