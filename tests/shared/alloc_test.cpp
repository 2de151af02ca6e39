// The growable memory block and the (disabled) error log its failures go to.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "shared/alloc.h"
#include "shared/error_log.h"

namespace {

std::vector<std::pair<std::wstring, LONG>> g_logged;  // message and status of each call

void Observe(const wchar_t* message, LONG status, const wchar_t* parameter, void*) {
  // "Compiled " and the compiler's 24-character time stamp, e.g. "Sun Sep 16 01:03:52 1973".
  const std::wstring stamp(parameter);
  EXPECT_TRUE(stamp.size() == 33 && stamp.rfind(L"Compiled ", 0) == 0 && stamp[22] == L':' && stamp[25] == L':');
  g_logged.emplace_back(message, status);
}

int SiteLine(const std::wstring& message) {
  EXPECT_EQ(0u, message.rfind(L"Error in file ", 0));
  EXPECT_NE(std::wstring::npos, message.find(L"alloc.cpp line "));
  return std::stoi(message.substr(message.rfind(L' ') + 1));
}

HGLOBAL WINAPI FailAlloc(UINT, SIZE_T) { return SetLastError(ERROR_NOT_ENOUGH_MEMORY), nullptr; }
HGLOBAL WINAPI FailReAlloc(HGLOBAL, SIZE_T, UINT) { return SetLastError(ERROR_OUTOFMEMORY), nullptr; }
UINT Locks(HGLOBAL block) { return GlobalFlags(block) & GMEM_LOCKCOUNT; }

}  // namespace

TEST(AllocateMemory, ZeroSizeAndFailuresGoToTheDisabledLog) {
  SetErrorLogObserver(Observe, nullptr);
  HGLOBAL block = nullptr;
  void* data = nullptr;
  SetLastError(1234);
  EXPECT_FALSE(AllocateMemory(0, &block, &data));  // nothing failed: the status is as it stood
  EXPECT_EQ(nullptr, block);
  ASSERT_TRUE(AllocateMemory(8, &block, &data));
  void* const address = data;
  EXPECT_FALSE(AllocateMemory(0, &block, &data));  // the block is left as it was
  EXPECT_EQ(address, data);
  EXPECT_EQ(8u, GlobalSize(block));
  EXPECT_EQ(1u, Locks(block));

  SetAllocateMemoryCalls(nullptr, FailReAlloc);
  EXPECT_FALSE(AllocateMemory(16, &block, &data));  // the old block is freed
  EXPECT_EQ(nullptr, block);
  EXPECT_EQ(nullptr, data);
  SetAllocateMemoryCalls(FailAlloc, nullptr);
  EXPECT_FALSE(AllocateMemory(16, &block, &data));
  EXPECT_EQ(nullptr, block);
  SetAllocateMemoryCalls(nullptr, nullptr);

  SetLastError(0xdeadbeef);
  WriteErrorLog(L"Error in file x line 1", -1, L"Compiled Sun Sep 16 01:03:52 1973");
  EXPECT_EQ(0xdeadbeefu, GetLastError());  // the log is disabled and changes nothing
  EXPECT_FALSE(g_bLogEnabled);
  SetErrorLogObserver(nullptr, nullptr);

  ASSERT_EQ(5u, g_logged.size());
  EXPECT_EQ(1234, g_logged[0].second);
  EXPECT_EQ(g_logged[0].first, g_logged[1].first);
  EXPECT_EQ(ERROR_OUTOFMEMORY, static_cast<DWORD>(g_logged[2].second));
  EXPECT_EQ(ERROR_NOT_ENOUGH_MEMORY, static_cast<DWORD>(g_logged[3].second));
  const int zero = SiteLine(g_logged[0].first), resize = SiteLine(g_logged[2].first), alloc = SiteLine(g_logged[3].first);
  EXPECT_TRUE(zero != resize && resize != alloc && alloc != zero);
}

TEST(AllocateMemory, ExactSizesContentsAndOneLockPerCall) {
  HGLOBAL block = nullptr;
  void* data = nullptr;
  ASSERT_TRUE(AllocateMemory(16, &block, &data));
  std::memcpy(data, "0123456789abcdef", 16);
  void* const address = data;
  ASSERT_TRUE(AllocateMemory(16, &block, &data));  // same size: locked once more, same address
  EXPECT_EQ(address, data);
  EXPECT_EQ(2u, Locks(block));

  ASSERT_TRUE(AllocateMemory(4096, &block, &data));  // gives up one lock, takes one
  EXPECT_EQ(2u, Locks(block));
  EXPECT_EQ(4096u, GlobalSize(block));
  EXPECT_EQ(0, std::memcmp(data, "0123456789abcdef", 16));
  EXPECT_EQ(std::vector<BYTE>(4080, 0), std::vector<BYTE>(static_cast<BYTE*>(data) + 16, static_cast<BYTE*>(data) + 4096));
  ASSERT_TRUE(AllocateMemory(5, &block, &data));
  EXPECT_EQ(5u, GlobalSize(block));
  EXPECT_EQ(0, std::memcmp(data, "01234", 5));
  while (Locks(block) != 0) GlobalUnlock(block);

  EXPECT_TRUE(AllocateMemory(20, &block, nullptr));  // without a slot: resized, never locked
  EXPECT_EQ(20u, GlobalSize(block));
  EXPECT_EQ(0u, Locks(block));
  EXPECT_EQ(nullptr, GlobalFree(block));
}
