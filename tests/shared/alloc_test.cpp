// The growable memory block and the (disabled) error log behind it.
#include <gtest/gtest.h>

#include <cstring>
#include <cwctype>
#include <string>
#include <vector>

#include "shared/alloc.h"
#include "shared/error_log.h"

namespace {

struct LoggedCall {
  std::wstring message;
  LONG status;
  std::wstring parameter;
};

class ErrorLogRecorder {
 public:
  ErrorLogRecorder() { SetErrorLogObserver(&Observe, this); }
  ~ErrorLogRecorder() { SetErrorLogObserver(nullptr, nullptr); }
  std::vector<LoggedCall> calls;

 private:
  static void Observe(const wchar_t* message, LONG status, const wchar_t* parameter, void* context) {
    static_cast<ErrorLogRecorder*>(context)->calls.push_back({message, status, parameter ? parameter : L"(null)"});
  }
};

HGLOBAL WINAPI FailingGlobalAlloc(UINT, SIZE_T) {
  SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return nullptr;
}
HGLOBAL WINAPI FailingGlobalReAlloc(HGLOBAL, SIZE_T, UINT) {
  SetLastError(ERROR_OUTOFMEMORY);
  return nullptr;
}

UINT LockCount(HGLOBAL block) { return GlobalFlags(block) & GMEM_LOCKCOUNT; }

// "Error in file <this module's Alloc unit> line <n>"; returns n.
int SiteLine(const LoggedCall& call) {
  const std::wstring head = L"Error in file ";
  EXPECT_EQ(0u, call.message.rfind(head, 0)) << std::string(call.message.begin(), call.message.end());
  const auto at = call.message.rfind(L" line ");
  EXPECT_NE(std::wstring::npos, at);
  const std::wstring file = call.message.substr(head.size(), at - head.size());
  EXPECT_NE(std::wstring::npos, file.find(L"alloc.cpp"));
  return std::stoi(call.message.substr(at + 6));
}

// "Compiled " and the 24-character time stamp "Www Mmm dd hh:mm:ss yyyy".
void ExpectBuildStamp(const std::wstring& parameter) {
  ASSERT_EQ(9u + 24u, parameter.size());
  EXPECT_EQ(0u, parameter.rfind(L"Compiled ", 0));
  const std::wstring stamp = parameter.substr(9);
  for (size_t i : {3u, 7u, 10u, 19u}) EXPECT_EQ(L' ', stamp[i]) << i;
  EXPECT_EQ(L':', stamp[13]);
  EXPECT_EQ(L':', stamp[16]);
  for (size_t i : {11u, 12u, 14u, 15u, 17u, 18u, 20u, 21u, 22u, 23u}) EXPECT_TRUE(iswdigit(stamp[i])) << i;
}

}  // namespace

TEST(ErrorLog, DisabledCallChangesNothing) {
  ErrorLogRecorder recorder;
  SetLastError(0xdeadbeef);
  WriteErrorLog(L"Error in file x line 1", -1, nullptr);
  WriteErrorLog(L"text", 5, L"Compiled now");
  EXPECT_EQ(0xdeadbeefu, GetLastError());
  EXPECT_FALSE(g_bLogEnabled);
  ASSERT_EQ(2u, recorder.calls.size());
  EXPECT_EQ(-1, recorder.calls[0].status);
  EXPECT_EQ(L"(null)", recorder.calls[0].parameter);
  EXPECT_EQ(L"Compiled now", recorder.calls[1].parameter);
}

TEST(AllocateMemory, ZeroSizeFailsAndLeavesAnyBlockAlone) {
  ErrorLogRecorder recorder;
  HGLOBAL block = nullptr;
  void* data = nullptr;
  SetLastError(1234);
  EXPECT_FALSE(AllocateMemory(0, &block, &data));
  EXPECT_EQ(nullptr, block);
  EXPECT_EQ(nullptr, data);
  ASSERT_EQ(1u, recorder.calls.size());
  EXPECT_EQ(1234, recorder.calls[0].status);  // the last error as it stood, nothing failed
  ExpectBuildStamp(recorder.calls[0].parameter);

  ASSERT_TRUE(AllocateMemory(8, &block, &data));
  HGLOBAL const before = block;
  void* const address = data;
  EXPECT_FALSE(AllocateMemory(0, &block, &data));
  EXPECT_EQ(before, block);
  EXPECT_EQ(address, data);
  EXPECT_EQ(8u, GlobalSize(block));
  EXPECT_EQ(1u, LockCount(block));
  ASSERT_EQ(2u, recorder.calls.size());
  EXPECT_EQ(SiteLine(recorder.calls[0]), SiteLine(recorder.calls[1]));
  GlobalUnlock(block);
  GlobalFree(block);
}

TEST(AllocateMemory, EachCallWithASlotTakesALock) {
  HGLOBAL block = nullptr;
  void* data = nullptr;
  ASSERT_TRUE(AllocateMemory(32, &block, &data));
  ASSERT_NE(nullptr, data);
  EXPECT_EQ(32u, GlobalSize(block));
  EXPECT_EQ(1u, LockCount(block));
  EXPECT_EQ(0x42u, kAllocateMemoryFlags);

  HGLOBAL const first = block;
  void* const address = data;
  EXPECT_TRUE(AllocateMemory(32, &block, &data));  // same size: no reallocation, one lock more
  EXPECT_EQ(first, block);
  EXPECT_EQ(address, data);
  EXPECT_EQ(2u, LockCount(block));

  // A resize gives up the slot's lock first, then takes one of its own.
  EXPECT_TRUE(AllocateMemory(64, &block, &data));
  EXPECT_EQ(64u, GlobalSize(block));
  EXPECT_EQ(2u, LockCount(block));
  GlobalUnlock(block);
  GlobalUnlock(block);
  EXPECT_EQ(0u, LockCount(block));
  EXPECT_EQ(nullptr, GlobalFree(block));
}

TEST(AllocateMemory, GrowKeepsBytesAndZeroesTheRestShrinkCuts) {
  HGLOBAL block = nullptr;
  void* data = nullptr;
  ASSERT_TRUE(AllocateMemory(16, &block, &data));
  const std::vector<BYTE> zero16(16, 0);
  EXPECT_EQ(0, std::memcmp(zero16.data(), data, 16));  // zero-filled at creation
  for (int i = 0; i < 16; ++i) static_cast<BYTE*>(data)[i] = static_cast<BYTE>(0xA0 + i);

  ASSERT_TRUE(AllocateMemory(4096, &block, &data));
  ASSERT_EQ(4096u, GlobalSize(block));
  const BYTE* bytes = static_cast<const BYTE*>(data);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(0xA0 + i, bytes[i]) << i;
  for (int i = 16; i < 4096; ++i) ASSERT_EQ(0, bytes[i]) << i;

  ASSERT_TRUE(AllocateMemory(5, &block, &data));
  EXPECT_EQ(5u, GlobalSize(block));
  bytes = static_cast<const BYTE*>(data);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(0xA0 + i, bytes[i]) << i;
  EXPECT_EQ(1u, LockCount(block));
  GlobalUnlock(block);
  GlobalFree(block);
}

TEST(AllocateMemory, WithoutASlotTheBlockIsNeverLocked) {
  HGLOBAL block = nullptr;
  ASSERT_TRUE(AllocateMemory(10, &block, nullptr));
  ASSERT_NE(nullptr, block);
  EXPECT_EQ(10u, GlobalSize(block));
  EXPECT_EQ(0u, LockCount(block));
  EXPECT_TRUE(AllocateMemory(20, &block, nullptr));
  EXPECT_EQ(20u, GlobalSize(block));
  EXPECT_EQ(0u, LockCount(block));
  EXPECT_TRUE(AllocateMemory(20, &block, nullptr));
  EXPECT_EQ(0u, LockCount(block));
  EXPECT_EQ(nullptr, GlobalFree(block));
}

TEST(AllocateMemory, FailedAllocationAndReallocationLeaveNoBlock) {
  ErrorLogRecorder recorder;
  HGLOBAL block = nullptr;
  void* data = nullptr;
  EXPECT_FALSE(AllocateMemory(0, &block, &data));  // the zero-size site, for its line

  SetAllocateMemoryCalls(FailingGlobalAlloc, nullptr);
  EXPECT_FALSE(AllocateMemory(100, &block, &data));
  EXPECT_EQ(nullptr, block);
  EXPECT_EQ(nullptr, data);
  ASSERT_EQ(2u, recorder.calls.size());
  EXPECT_EQ(ERROR_NOT_ENOUGH_MEMORY, static_cast<DWORD>(recorder.calls[1].status));

  SetAllocateMemoryCalls(nullptr, FailingGlobalReAlloc);
  ASSERT_TRUE(AllocateMemory(100, &block, &data));
  ASSERT_NE(nullptr, data);
  EXPECT_FALSE(AllocateMemory(200, &block, &data));
  EXPECT_EQ(nullptr, block);  // the old block was freed
  EXPECT_EQ(nullptr, data);
  ASSERT_EQ(3u, recorder.calls.size());
  EXPECT_EQ(ERROR_OUTOFMEMORY, static_cast<DWORD>(recorder.calls[2].status));
  SetAllocateMemoryCalls(nullptr, nullptr);

  // Three sites, three source lines; each call carries the build stamp.
  const int zeroLine = SiteLine(recorder.calls[0]);
  const int allocLine = SiteLine(recorder.calls[1]);
  const int reallocLine = SiteLine(recorder.calls[2]);
  EXPECT_LT(0, zeroLine);
  EXPECT_NE(zeroLine, allocLine);
  EXPECT_NE(allocLine, reallocLine);
  EXPECT_NE(zeroLine, reallocLine);
  for (const auto& call : recorder.calls) ExpectBuildStamp(call.parameter);
}
