// The receiving pipe through real Wine named pipes: a client plays the service and writes
// packets; a recorder in TranslateCommand's place sees what the pipe thread posted.

#include <gtest/gtest.h>

#include <cstring>

#include "pipes/pipe_packet.h"
#include "shared/block.h"
#include "support/layer_harness.h"
#include "support/trace_capture.h"
#include "handoff/commands.h"
#include "handoff/translation_message.h"
#include "translation/translation_thread.h"

namespace {

constexpr DWORD kTimeout = 5000;

class ReceivePipeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    StartTranslationLayer();
    ASSERT_TRUE(service.Connect(kTimeout));
  }
  void TearDown() override {
    service.Close();
    StopTranslationLayer();
  }

  // The pipe packet a recorded message carried.
  static PipePacket HeaderOf(const RecordedMessage& m) {
    PipePacket header{};
    std::memcpy(&header, m.bytes.data(), sizeof(header));
    return header;
  }

  TraceCapture trace;
  TranslationRecorder recorder;
  ServicePipeClient service;
};

TEST_F(ReceivePipeTest, EmptyBodyIsPostedAsA48ByteCopy) {
  ASSERT_TRUE(service.WritePacket(TW4_0::ID_ENGINE_PERCENT_DONE, L'D', {}));
  ASSERT_TRUE(recorder.WaitForCount(1, kTimeout));
  const RecordedMessage m = recorder.Messages()[0];
  EXPECT_EQ(TW4_0::ID_ENGINE_PERCENT_DONE, m.command);
  EXPECT_EQ(0, m.direction);
  EXPECT_EQ(0, m.letter);
  ASSERT_TRUE(m.hadBlock);
  EXPECT_EQ(48u, m.blockSize);
  EXPECT_EQ(L'D', HeaderOf(m).cDrive);
  EXPECT_EQ(0u, HeaderOf(m).dwDataSize);
  EXPECT_TRUE(trace.Contains(L"Received Pipe Data from Service in PipeIn()\n"));
  EXPECT_TRUE(trace.Contains(L"Posting Message from 4.0 Service to TL\n"));
}

TEST_F(ReceivePipeTest, BodiesArriveWholeInTheirOwnCopies) {
  const auto body10000 = PatternBody(10000, 1);
  const auto body59951 = PatternBody(59951, 2);
  const auto body59952 = PatternBody(59952, 3);
  ASSERT_TRUE(service.WritePacket(TW4_0::ID_VOL_DATA, L'C', body10000));
  ASSERT_TRUE(service.WritePacket(TW4_0::ID_NEW_DISPLAY_DATA, L'C', body59951));
  ASSERT_TRUE(service.WritePacket(TW4_0::ID_NEW_DISPLAY_DATA, L'E', body59952));
  ASSERT_TRUE(recorder.WaitForCount(3, kTimeout));

  const auto messages = recorder.Messages();
  ASSERT_EQ(3u, messages.size());
  const std::vector<BYTE>* bodies[] = {&body10000, &body59951, &body59952};
  for (std::size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    const auto& m = messages[i];
    ASSERT_EQ(48 + bodies[i]->size(), m.blockSize);
    EXPECT_EQ(bodies[i]->size(), HeaderOf(m).dwDataSize);
    EXPECT_EQ(0, std::memcmp(m.bytes.data() + 48, bodies[i]->data(), bodies[i]->size()));
  }
  EXPECT_EQ(TW4_0::ID_VOL_DATA, messages[0].command);
  EXPECT_EQ(L'E', HeaderOf(messages[2]).cDrive);
  EXPECT_TRUE(trace.ContainsPart(L"Pipe in allocate 10048 bytes at address "));
}

TEST_F(ReceivePipeTest, BackToBackPacketsArriveInOrder) {
  std::vector<BYTE> both;
  for (std::uint32_t command : {TW4_0::ID_ENGINE_START, TW4_0::ID_ENGINE_EXIT}) {
    PipePacket header{};
    header.dwCommand = command;
    header.dwDataSize = 4;
    const BYTE* p = reinterpret_cast<const BYTE*>(&header);
    both.insert(both.end(), p, p + sizeof(header));
    both.insert(both.end(), {1, 2, 3, static_cast<BYTE>(command)});
  }
  ASSERT_TRUE(service.Write(both.data(), static_cast<DWORD>(both.size())));
  ASSERT_TRUE(recorder.WaitForCount(2, kTimeout));
  const auto messages = recorder.Messages();
  EXPECT_EQ(TW4_0::ID_ENGINE_START, messages[0].command);
  EXPECT_EQ(TW4_0::ID_ENGINE_EXIT, messages[1].command);
  EXPECT_EQ(52u, messages[0].blockSize);
  EXPECT_EQ(52u, messages[1].blockSize);
  EXPECT_EQ(static_cast<BYTE>(TW4_0::ID_ENGINE_EXIT), messages[1].bytes[51]);
}

TEST_F(ReceivePipeTest, HeaderArrivingInPiecesIsReadWhole) {
  PipePacket header{};
  header.dwCommand = TW4_0::ID_ENGINE_PAUSE;
  header.cDrive = L'F';
  const BYTE* p = reinterpret_cast<const BYTE*>(&header);
  ASSERT_TRUE(service.Write(p, 20));
  Sleep(50);  // the reader is now blocked with 20 bytes of the header
  ASSERT_TRUE(service.Write(p + 20, 28));
  ASSERT_TRUE(recorder.WaitForCount(1, kTimeout));
  EXPECT_EQ(TW4_0::ID_ENGINE_PAUSE, recorder.Messages()[0].command);
  EXPECT_EQ(L'F', HeaderOf(recorder.Messages()[0]).cDrive);
}

TEST_F(ReceivePipeTest, OversizedBodyIsDrainedAndDroppedAndTheNextPacketStillArrives) {
  const auto huge = PatternBody(70000, 9);
  ASSERT_TRUE(service.WritePacket(TW4_0::ID_NEW_DISPLAY_DATA, L'C', huge));
  ASSERT_TRUE(service.WritePacket(TW4_0::ID_ENGINE_EXIT, L'C', PatternBody(8)));
  ASSERT_TRUE(recorder.WaitForCount(1, kTimeout));
  ASSERT_FALSE(recorder.WaitForCount(2, 200));
  const auto m = recorder.Messages()[0];
  EXPECT_EQ(TW4_0::ID_ENGINE_EXIT, m.command);
  EXPECT_EQ(56u, m.blockSize);
  EXPECT_TRUE(trace.Contains(L"PipeIn - body of 70000 bytes does not fit the receive buffer; packet dropped\n"));
}

TEST_F(ReceivePipeTest, CommandBeyond16BitsIsDroppedAndTheNextPacketStillArrives) {
  ASSERT_TRUE(service.WritePacket(0x00012008, L'C', {}));
  ASSERT_TRUE(service.WritePacket(TW4_0::ID_ENGINE_START, L'C', {}));
  ASSERT_TRUE(recorder.WaitForCount(1, kTimeout));
  ASSERT_FALSE(recorder.WaitForCount(2, 200));
  EXPECT_EQ(TW4_0::ID_ENGINE_START, recorder.Messages()[0].command);
  EXPECT_EQ(0, recorder.Messages()[0].direction);
  EXPECT_TRUE(trace.Contains(L"PipeIn - command 73736 is no command; packet dropped\n"));
}

TEST_F(ReceivePipeTest, ServiceClosingBetweenPacketsEndsThePipeThreadQuietly) {
  ASSERT_TRUE(service.WritePacket(TW4_0::ID_ENGINE_START, L'C', {}));
  ASSERT_TRUE(recorder.WaitForCount(1, kTimeout));
  service.Close();
  EXPECT_TRUE(WaitForThreadEnd(g_hPipeThread, kTimeout));
  EXPECT_FALSE(trace.ContainsPart(L"Error #"));
  EXPECT_FALSE(trace.ContainsPart(L"TerminateThread"));
  EXPECT_EQ(0, GetBlockCounters().live);
}

TEST_F(ReceivePipeTest, ServiceDyingInsideABodyPostsNothing) {
  PipePacket header{};
  header.dwCommand = TW4_0::ID_VOL_DATA;
  header.dwDataSize = 1640;
  ASSERT_TRUE(service.Write(&header, sizeof(header)));
  ASSERT_TRUE(service.Write(PatternBody(600).data(), 600));
  service.Close();
  EXPECT_TRUE(WaitForThreadEnd(g_hPipeThread, kTimeout));
  EXPECT_EQ(0u, recorder.Count());
  EXPECT_TRUE(trace.Contains(L"PipeIn - connection ended inside a body of 1640 bytes; packet dropped\n"));
  EXPECT_EQ(0, GetBlockCounters().live);
}

// The pipe thread ends promptly and without force in each of its states, time after time.
class PipeThreadStopTest : public ::testing::Test {
 protected:
  TraceCapture trace;
  TranslationRecorder recorder;
};

TEST_F(PipeThreadStopTest, StopsWhileListening) {
  for (int i = 0; i < 10; ++i) {
    StartTranslationLayer();
    HANDLE thread = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), g_hPipeThread, GetCurrentProcess(), &thread, 0, FALSE,
                                DUPLICATE_SAME_ACCESS));
    ASSERT_TRUE(WaitForPipeListening(kGuiPipeLocalName, kTimeout));
    StopTranslationLayer();
    EXPECT_TRUE(WaitForThreadEnd(thread, 0));
    CloseHandle(thread);
  }
  EXPECT_FALSE(trace.ContainsPart(L"TerminateThread"));
  EXPECT_FALSE(trace.ContainsPart(L"Error #"));
}

TEST_F(PipeThreadStopTest, StopsWhileReadingAndBetweenPackets) {
  for (int i = 0; i < 10; ++i) {
    SCOPED_TRACE(i);
    StartTranslationLayer();
    ServicePipeClient service;
    ASSERT_TRUE(service.Connect(kTimeout));
    if (i % 2 == 1) {
      // Half a header: the pipe thread is blocked inside the header read.
      const BYTE part[10] = {};
      ASSERT_TRUE(service.Write(part, sizeof(part)));
    } else {
      ASSERT_TRUE(service.WritePacket(TW4_0::ID_ENGINE_START, L'C', {}));
      ASSERT_TRUE(recorder.WaitForCount(static_cast<std::size_t>(i / 2 + 1), kTimeout));
    }
    HANDLE thread = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), g_hPipeThread, GetCurrentProcess(), &thread, 0, FALSE,
                                DUPLICATE_SAME_ACCESS));
    StopTranslationLayer();
    EXPECT_TRUE(WaitForThreadEnd(thread, 0));
    CloseHandle(thread);
  }
  EXPECT_FALSE(trace.ContainsPart(L"TerminateThread"));
  EXPECT_FALSE(trace.ContainsPart(L"Error #"));
}

}  // namespace

namespace {

// A queue that refuses posts as a full one does, for as long as `g_refusals` says.
volatile LONG g_refusals = 0;
BOOL WINAPI PostIntoFullQueue(DWORD threadId, UINT message, WPARAM first, LPARAM second) {
  if (InterlockedDecrement(&g_refusals) >= 0) {
    SetLastError(ERROR_NOT_ENOUGH_QUOTA);
    return FALSE;
  }
  return PostThreadMessageW(threadId, message, first, second);
}

TEST_F(ReceivePipeTest, AFullQueueBacksUpInsteadOfLosingPackets) {
  InterlockedExchange(&g_refusals, 40);
  SetPostThreadMessageFunction(&PostIntoFullQueue);
  constexpr std::uint32_t kPackets = 30;
  for (std::uint32_t i = 0; i < kPackets; ++i) {
    ASSERT_TRUE(service.WritePacket(TW4_0::ID_ENGINE_PERCENT_DONE, L'C', PatternBody(4, static_cast<BYTE>(i))));
  }
  ASSERT_TRUE(recorder.WaitForCount(kPackets, kTimeout));
  SetPostThreadMessageFunction(nullptr);
  const auto messages = recorder.Messages();
  for (std::uint32_t i = 0; i < kPackets; ++i) EXPECT_EQ(PatternBody(4, static_cast<BYTE>(i))[0], messages[i].bytes[48]);
  EXPECT_FALSE(trace.ContainsPart(L"PostThreadMessage failed"));
}

TEST_F(ReceivePipeTest, AQueueThatStaysFullGivesUpWhenTheLayerStops) {
  InterlockedExchange(&g_refusals, 1000000);
  SetPostThreadMessageFunction(&PostIntoFullQueue);
  ASSERT_TRUE(service.WritePacket(TW4_0::ID_ENGINE_START, L'C', {}));
  Sleep(100);  // the pipe thread now retries its post
  StopTranslationLayer();
  SetPostThreadMessageFunction(nullptr);
  EXPECT_EQ(0u, recorder.Count());
  EXPECT_EQ(0, GetBlockCounters().live);  // the refused copy was not leaked
  EXPECT_FALSE(trace.ContainsPart(L"TerminateThread"));
}

}  // namespace
