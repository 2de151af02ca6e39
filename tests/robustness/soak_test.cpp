// No leaks: whole sessions one after another and a long run of translated messages in one
// process, with the process's handle count, its private bytes and the module's live blocks
// measured before and after.

#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <cstring>

#include "robust_link.h"
#include "shared/block.h"
#include "support/handle_count.h"
#include "test_gui_object.h"
#include "translation/comm_init_body.h"

namespace {

constexpr int kSessions = 100;
constexpr std::uint32_t kMessages = 100000;
// Growth allowed between the measurement after the warm-up and the one at the end.
constexpr DWORD kHandleBound = 16;
constexpr SIZE_T kPrivateBytesBound = 4 * 1024 * 1024;

struct Usage {
  DWORD handles = 0;
  SIZE_T privateBytes = 0;
};

// The handles open, and PrivateUsage where the system fills it in; where it leaves it at 0
// (Wine does), the committed private memory is summed over the address space.
Usage Measure() {
  Usage u;
  u.handles = OpenHandleCount();
  PROCESS_MEMORY_COUNTERS_EX counters{};
  counters.cb = sizeof(counters);
  if (K32GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                              sizeof(counters))) {
    u.privateBytes = counters.PrivateUsage;
  }
  if (u.privateBytes == 0) {
    MEMORY_BASIC_INFORMATION info{};
    for (BYTE* at = nullptr; VirtualQuery(at, &info, sizeof(info)) == sizeof(info);
         at = static_cast<BYTE*>(info.BaseAddress) + info.RegionSize) {
      if (info.State == MEM_COMMIT && info.Type == MEM_PRIVATE) u.privateBytes += info.RegionSize;
      if (info.RegionSize == 0) break;
    }
  }
  return u;
}

bool WaitForNoLiveBlocks(DWORD timeoutMs) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  while (GetBlockCounters().live != 0) {
    if (GetTickCount64() >= deadline) return false;
    Sleep(10);
  }
  return true;
}

// Connect, drive data, an analysis of C from the GUI's command to the service's end of it,
// exit. The link is taken down when it goes out of scope.
void OneSession(int n, const TraceCounter& counter) {
  SCOPED_TRACE(testing::Message() << "session " << n);
  LinkedLayer link;
  ASSERT_TRUE(link.Connect(kRobustTimeout)) << "link step failed: " << TraceCounter::Narrow(link.Failure())
                                             << "\n" << counter.Tail();
  const std::size_t gui0 = link.gui.Count();
  ASSERT_TRUE(link.service.Send(TW4_0::ID_DRIVE_DATA, 0, DriveDataBody({})));
  ASSERT_TRUE(link.gui.WaitForCount(gui0 + 1, kRobustTimeout));
  const std::size_t service0 = link.service.Count();
  ASSERT_EQ(S_OK, link.ToService(TW4_5::ID_ANALYZE, OperationBody(L'C')));
  // The drive data's answer to the service may still be on its way: look for the analysis.
  bool analysed = false;
  const ULONGLONG deadline = GetTickCount64() + kRobustTimeout;
  while (!analysed && GetTickCount64() < deadline) {
    for (const ServicePacket& p : link.service.PacketsFrom(service0)) {
      analysed |= p.header.dwCommand == TW4_0::ID_START_ANALYZE && p.header.cDrive == L'C';
    }
    if (!analysed) link.service.WaitForCount(link.service.Count() + 1, 50);
  }
  ASSERT_TRUE(analysed);
  const std::size_t gui1 = link.gui.Count();
  ASSERT_TRUE(link.service.Send(TW4_0::ID_ENGINE_START, L'C'));
  ASSERT_TRUE(link.service.Send(TW4_0::ID_VOL_DATA, L'C', VolumeDataBody(8, 100, 25, 2, 0), 0, L"Analyze"));
  ASSERT_TRUE(link.service.Send(TW4_0::ID_ENGINE_PERCENT_DONE, L'C', {}, 60));
  ASSERT_TRUE(link.service.Send(TW4_0::ID_ENGINE_EXIT, L'C'));
  // Engine comm, start, begin scan, status, display, status, end of scan and what follows it.
  ASSERT_TRUE(link.gui.WaitForCount(gui1 + 7, kRobustTimeout)) << link.gui.Count() - gui1;
  ASSERT_EQ(S_OK, link.Exit());
  ASSERT_TRUE(link.gui.WaitForLiveObjects(0, kRobustTimeout)) << "the module still holds GUI objects";
}

TEST(Soak, SessionsAndMessagesLeaveNoHandlesMemoryOrBlocksBehind) {
  ASSERT_TRUE(InstallServiceBuildNumber());
  TraceCounter counter;  // counts; keeps no more than a few lines
  // Warm-up: the first session loads what any later one finds loaded.
  for (int n = 0; n < 2; ++n) ASSERT_NO_FATAL_FAILURE(OneSession(-1 - n, counter));
  ASSERT_TRUE(WaitForNoLiveBlocks(5000));
  const Usage start = Measure();
  const ULONGLONG t0 = GetTickCount64();

  for (int n = 0; n < kSessions; ++n) ASSERT_NO_FATAL_FAILURE(OneSession(n, counter));
  ASSERT_TRUE(WaitForNoLiveBlocks(5000));
  const Usage afterSessions = Measure();
  const ULONGLONG t1 = GetTickCount64();

  // One more session, its GUI a sink that only counts: the service's settings go to it, the
  // GUI's requests go to the service, alternately.
  // The sink is served from this thread, which the peers of the sessions no longer keep in COM.
  const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  ASSERT_TRUE(SUCCEEDED(com));
  TestGuiObject sink;
  sink.keep = false;
  TestGuiFactory factory(&sink);
  LONG64 serviceSent = 0;
  {
    LinkedLayer link;
    CommInitBody comm{};
    StringFromGUID2(factory.clsid, comm.szClsid, 312);
    ASSERT_TRUE(link.Connect(kRobustTimeout, &comm));
    const LONG64 fromService0 = counter.fromService();
    // Written a hundred packets at a time, as a busy service's writes come.
    PipePacket header{};
    header.dwCommand = TW4_0::ID_NEW_LOG_DATA;
    header.dwDataSize = 64;
    std::vector<BYTE> packet(kPipeHeaderSize, 0);
    std::memcpy(packet.data(), &header, sizeof(header));
    const std::vector<BYTE> settings = PatternBody(64);
    packet.insert(packet.end(), settings.begin(), settings.end());
    std::vector<BYTE> hundred;
    for (int i = 0; i < 100; ++i) hundred.insert(hundred.end(), packet.begin(), packet.end());
    for (std::uint32_t i = 0; i < kMessages; i += 100) {
      ASSERT_TRUE(link.service.SendRaw(hundred.data(), static_cast<DWORD>(hundred.size()))) << i;
      serviceSent += 100;
    }
    const ULONGLONG deadline = GetTickCount64() + kRobustTimeout;
    while (InterlockedCompareExchange(&sink.taken, 0, 0) < static_cast<LONG>(kMessages) && GetTickCount64() < deadline) {
      Sleep(20);
    }
    EXPECT_EQ(static_cast<LONG>(kMessages), InterlockedCompareExchange(&sink.taken, 0, 0));  // none lost
    EXPECT_EQ(serviceSent, counter.fromService() - fromService0);
    ASSERT_EQ(S_OK, link.Exit());
    const ULONGLONG released = GetTickCount64() + kRobustTimeout;
    while (InterlockedCompareExchange(&sink.refs, 0, 0) > 1 && GetTickCount64() < released) Sleep(10);
    EXPECT_EQ(1, InterlockedCompareExchange(&sink.refs, 0, 0));
  }
  ASSERT_TRUE(WaitForNoLiveBlocks(5000));
  CoUninitialize();
  const Usage end = Measure();
  const ULONGLONG t2 = GetTickCount64();
  const BlockCounters blocks = GetBlockCounters();

  std::printf("soak: %d sessions in %llu ms, %u messages in %llu ms\n", kSessions,
              static_cast<unsigned long long>(t1 - t0), kMessages, static_cast<unsigned long long>(t2 - t1));
  std::printf("soak: handles %lu -> %lu -> %lu; private bytes %llu -> %llu -> %llu\n", start.handles,
              afterSessions.handles, end.handles, static_cast<unsigned long long>(start.privateBytes),
              static_cast<unsigned long long>(afterSessions.privateBytes),
              static_cast<unsigned long long>(end.privateBytes));
  std::printf("soak: blocks allocated %lld, bytes %lld, live %lld\n", static_cast<long long>(blocks.allocations),
              static_cast<long long>(blocks.bytes), static_cast<long long>(blocks.live));
  EXPECT_EQ(0, blocks.live);
  EXPECT_LE(afterSessions.handles, start.handles + kHandleBound);
  EXPECT_LE(end.handles, start.handles + kHandleBound);
  ASSERT_NE(0u, start.privateBytes);
  EXPECT_LE(afterSessions.privateBytes, start.privateBytes + kPrivateBytesBound);
  EXPECT_LE(end.privateBytes, start.privateBytes + kPrivateBytesBound);
}

}  // namespace
