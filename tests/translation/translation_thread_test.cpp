// The translation thread's loop and lifecycle, through real thread message queues.

#include <gtest/gtest.h>

#include "shared/block.h"
#include "shared/owners.h"
#include "shared/trace.h"
#include "support/layer_harness.h"
#include "support/trace_capture.h"
#include "handoff/commands.h"
#include "translation/drive_table.h"
#include "handoff/translation_message.h"
#include "translation/translation_thread.h"

namespace {

constexpr DWORD kTimeout = 5000;

TEST(TranslationMessage, EncodesAndDecodesTheWorkedValues) {
  EXPECT_EQ(0x000121B1u, MakeTranslationParam(TW4_5::ID_INIT_PIPE_COM, kFromGui, 0));
  EXPECT_EQ(0x00002008u, MakeTranslationParam(TW4_0::ID_START_ANALYZE, kFromService, 0));
  EXPECT_EQ(0x43011FA5u, MakeTranslationParam(TW4_5::ID_DEFRAG, kFromGui, L'C'));
  // Only the letter's low byte travels.
  EXPECT_EQ(0x43011FA4u, MakeTranslationParam(TW4_5::ID_ANALYZE, kFromGui, 0x0143));

  const TranslationParam p = DecodeTranslationParam(0x43011FA5u);
  EXPECT_EQ(8101, p.command);
  EXPECT_EQ(1, p.direction);
  EXPECT_EQ(L'C', p.letter);
}

class TranslationThreadTest : public ::testing::Test {
 protected:
  void SetUp() override { StartTranslationLayer(); }
  void TearDown() override { StopTranslationLayer(); }

  static bool Post(UINT message, WPARAM first, void* block) {
    return PostThreadMessageW(g_dwTLThreadId, message, first, reinterpret_cast<LPARAM>(block)) != FALSE;
  }

  TraceCapture trace;
  TranslationRecorder recorder;
};

TEST_F(TranslationThreadTest, LoopDecodesEveryPosterFirstParameter) {
  // The start returns only once the thread's queue takes posts.
  ASSERT_TRUE(Post(WM_COMMAND, 0x000121B1, nullptr));
  void* block = AllocBlock(48);
  ASSERT_NE(nullptr, block);
  ASSERT_TRUE(Post(WM_COMMAND, 0x00002008, block));
  ASSERT_TRUE(Post(WM_COMMAND, 0x43011FA5, nullptr));
  ASSERT_TRUE(recorder.WaitForCount(3, kTimeout));

  const auto m = recorder.Messages();
  EXPECT_EQ(TW4_5::ID_INIT_PIPE_COM, m[0].command);
  EXPECT_EQ(kFromGui, m[0].direction);
  EXPECT_EQ(0, m[0].letter);
  EXPECT_FALSE(m[0].hadBlock);
  EXPECT_EQ(TW4_0::ID_START_ANALYZE, m[1].command);
  EXPECT_EQ(kFromService, m[1].direction);
  EXPECT_TRUE(m[1].hadBlock);
  EXPECT_EQ(TW4_5::ID_DEFRAG, m[2].command);
  EXPECT_EQ(kFromGui, m[2].direction);
  EXPECT_EQ(L'C', m[2].letter);
  EXPECT_EQ(3, trace.Count(L"Calling TranslateCommand\n"));
}

TEST_F(TranslationThreadTest, OtherMessagesAreTakenOffTheQueueButNotTranslated) {
  ASSERT_TRUE(Post(WM_USER, 0x43011FA5, nullptr));
  ASSERT_TRUE(Post(WM_COMMAND, MakeTranslationParam(TW4_5::ID_STOP, kFromGui, L'D'), nullptr));
  ASSERT_TRUE(recorder.WaitForCount(1, kTimeout));
  EXPECT_EQ(1u, recorder.Count());
  EXPECT_EQ(TW4_5::ID_STOP, recorder.Messages()[0].command);
  EXPECT_EQ(2, trace.Count(L"TLThreadFunc - GetMessage Called\n"));
  EXPECT_EQ(1, trace.Count(L"Calling TranslateCommand\n"));
}

TEST_F(TranslationThreadTest, RepeatedStartLeavesTheRunningLayerAlone) {
  const DWORD id = g_dwTLThreadId;
  const HANDLE pipeThread = g_hPipeThread;
  g_DriveTable[3].dwEngineState = ENGINE_DEFRAGGING;
  StartTranslationLayer();
  EXPECT_EQ(id, g_dwTLThreadId);
  EXPECT_EQ(pipeThread, g_hPipeThread);
  EXPECT_EQ(ENGINE_DEFRAGGING, g_DriveTable[3].dwEngineState);
  EXPECT_TRUE(trace.Contains(L"StartTranslationLayer - layer already running\n"));
}

TEST_F(TranslationThreadTest, StartAfterTheLayerEndedStartsAFreshPair) {
  HANDLE oldThread = nullptr;
  ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), g_hTLThread, GetCurrentProcess(), &oldThread, 0, FALSE,
                              DUPLICATE_SAME_ACCESS));
  StopTranslationLayer();
  ASSERT_TRUE(WaitForThreadEnd(oldThread, kTimeout));
  CloseHandle(oldThread);
  EXPECT_TRUE(trace.Contains(L"Exiting Translation Layer Thread\n"));
  EXPECT_TRUE(trace.Contains(L"CoUninitialize() Done\n"));

  g_DriveTable[3].dwEngineState = ENGINE_DEFRAGGING;
  StartTranslationLayer();
  EXPECT_EQ(0u, g_DriveTable[3].dwEngineState);
  EXPECT_TRUE(WaitForPipeListening(kGuiPipeLocalName, kTimeout));
  EXPECT_EQ(2, trace.Count(L"StartTranslationLayer Successful\n"));
}

BOOL WINAPI RefuseAsAFullQueue(DWORD, UINT, WPARAM, LPARAM) {
  SetLastError(ERROR_NOT_ENOUGH_QUOTA);
  return FALSE;
}

// A stop whose quit a full queue refused leaves the layer running: the next start keeps it at
// once instead of waiting for an end that was never asked for.
TEST_F(TranslationThreadTest, AStopBehindAFullQueueDoesNotMakeTheNextStartWait) {
  SetPostThreadMessageFunction(&RefuseAsAFullQueue);
  StopTranslationLayer();
  SetPostThreadMessageFunction(nullptr);
  const ULONGLONG start = GetTickCount64();
  StartTranslationLayer();
  EXPECT_LT(GetTickCount64() - start, 1000u);
  EXPECT_TRUE(trace.Contains(L"StartTranslationLayer - layer already running\n"));
}

TEST(TranslationLayer, BeforeAnyStartPostsFailAndStopIsHarmless) {
  TraceCapture trace;
  EXPECT_EQ(0u, GetTLThreadId());
  EXPECT_TRUE(trace.Contains(L"GetTLThreadId returning = 0\n"));
  EXPECT_FALSE(PostTranslationMessage(MakeTranslationParam(TW4_5::ID_STOP, kFromGui, L'C'), nullptr, CurrentSession()));
  StopTranslationLayer();
  EXPECT_TRUE(trace.Contains(L"StopTranslationLayer Successful\n"));
}

// What is still queued when the loop ends (posted behind a stop's quit) is dropped: its blocks
// freed, not leaked with the queue, and an exit among it answered.
TEST(TranslationLayer, PostsQueuedBehindAStopAreFreedWhenTheLoopEnds) {
  static HANDLE held = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  static HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  SetTranslateCommandHandler([](std::uint16_t, void* block, WCHAR, std::uint8_t) {
    FreeBlock(block);
    SetEvent(held);
    WaitForSingleObject(release, kTimeout);
  });
  StartTranslationLayer();
  const SessionId session = CurrentSession();
  const auto post = [session](std::uint16_t command, std::uint64_t* ticket = nullptr) {
    return PostTranslationMessage(MakeTranslationParam(command, kFromGui, L'C'), AllocBlock(64), session, nullptr,
                                  ticket) != FALSE;
  };
  ASSERT_TRUE(post(TW4_5::ID_STOP));
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(held, kTimeout));
  UniqueHandle thread;
  ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), g_hTLThread, GetCurrentProcess(), thread.put(), SYNCHRONIZE, FALSE, 0));
  StopTranslationLayer(LayerStopWait::kNone);  // its quit is queued; nothing waits
  std::uint64_t exit = 0;
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(post(TW4_5::ID_PAUSE));
  ASSERT_TRUE(post(TW4_5::ID_FENUI_EXIT, &exit));
  SetEvent(release);
  ASSERT_TRUE(WaitForThreadEnd(thread.get(), kTimeout));
  EXPECT_TRUE(WaitForExitHandled(exit, 0));
  EXPECT_EQ(0, GetBlockCounters().live);
  SetTranslateCommandHandler(nullptr);
}

TEST(TranslationLayer, StartZeroesTheDriveTable) {
  for (auto& entry : g_DriveTable) FillMemory(&entry, sizeof(entry), 0xA5);
  g_bDriveDataPending = FALSE;
  g_cCurrentDrive = L'E';
  SetPseudoEngineDriveLetter(L'Q');
  StartTranslationLayer();
  const BYTE* bytes = reinterpret_cast<const BYTE*>(g_DriveTable);
  std::size_t nonZero = 0;
  for (std::size_t i = 0; i < sizeof(g_DriveTable); ++i) nonZero += bytes[i] != 0;
  EXPECT_EQ(0u, nonZero);
  EXPECT_TRUE(g_bDriveDataPending);
  EXPECT_EQ(0, GetPseudoEngineDrive());
  EXPECT_EQ(L'E', g_cCurrentDrive);  // the current drive survives a start
  StopTranslationLayer();
}

// A trace pair is never split by another thread's lines.
TEST(Trace, PairsFromManyThreadsStayTogether) {
  struct Line {
    DWORD thread;
    std::wstring text;
  };
  static SRWLOCK lock = SRWLOCK_INIT;
  static std::vector<Line> lines;
  lines.clear();
  SetTraceObserver(
      [](const wchar_t* text, void*) {
        AcquireSRWLockExclusive(&lock);
        lines.push_back({GetCurrentThreadId(), text});
        ReleaseSRWLockExclusive(&lock);
      },
      nullptr);
  constexpr int kThreads = 4;
  constexpr int kPairs = 300;
  HANDLE threads[kThreads];
  for (auto& t : threads) {
    t = CreateThread(
        nullptr, 0,
        [](void*) WINAPI -> DWORD {
          for (int i = 0; i < kPairs; ++i) Trace(L"pair %d\n", i);
          return 0;
        },
        nullptr, 0, nullptr);
    ASSERT_NE(nullptr, t);
  }
  ASSERT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(kThreads, threads, TRUE, 30000));
  for (auto t : threads) CloseHandle(t);
  SetTraceObserver(nullptr, nullptr);

  ASSERT_EQ(static_cast<std::size_t>(2 * kThreads * kPairs), lines.size());
  for (std::size_t i = 0; i < lines.size(); i += 2) {
    EXPECT_EQ(L"Thread " + std::to_wstring(lines[i].thread) + L": ", lines[i].text);
    EXPECT_EQ(lines[i].thread, lines[i + 1].thread);
    EXPECT_EQ(0u, lines[i + 1].text.rfind(L"pair ", 0));
  }
}

}  // namespace
