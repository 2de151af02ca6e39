// The pipe handshake between a COM thread (InitializeRemotePipe) and the running translation
// thread, whose ID_INIT_PIPE_COM is routed here to AnswerPipeInitProbe.

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "pipes/pipe_out.h"
#include "pipes/remote_pipe.h"
#include "shared/block.h"
#include "shared/owners.h"
#include "support/control_pipe_server.h"
#include "support/layer_harness.h"
#include "support/trace_capture.h"
#include "handoff/commands.h"
#include "handoff/translation_message.h"
#include "translation/translation_thread.h"

namespace {

struct Routed {
  std::uint16_t command;
  void* block;
  WCHAR letter;
  std::uint8_t direction;
};
std::vector<Routed> g_routed;  // written by the translation thread, read after it answered
HANDLE g_gate = nullptr;       // when set, the answer waits for it
HANDLE g_eventSeenByAnswer = nullptr;
bool g_readAccessList = false;   // when set, the receiving pipe's access list is read at the probe
std::wstring g_accessListAtProbe;

void Route(std::uint16_t command, void* block, WCHAR letter, std::uint8_t direction) {
  g_routed.push_back({command, block, letter, direction});
  if (command == TW4_5::ID_INIT_PIPE_COM && direction == kFromGui) {
    if (g_readAccessList) g_accessListAtProbe = ReceivingPipeAccessList(2000);
    if (g_gate != nullptr) {
      // Keep the kernel object alive past InitializeRemotePipe's own handle.
      g_eventSeenByAnswer = OpenEventW(SYNCHRONIZE, FALSE, L"TWNT_PIPE_INIT");
      WaitForSingleObject(g_gate, 30000);
    }
    AnswerPipeInitProbe();
  }
  FreeBlock(block);
}

std::wstring ComputerName() {
  WCHAR name[MAX_COMPUTERNAME_LENGTH + 1];
  DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
  EXPECT_TRUE(GetComputerNameW(name, &size));
  return name;
}

class Handshake : public ::testing::Test {
 protected:
  void SetUp() override {
    SetTranslateCommandHandler(Route);
    StartTranslationLayer();
    // The pipe thread closes any sending pipe before it listens: let it get there first.
    ASSERT_TRUE(WaitForPipeListening(kGuiPipeLocalName, 5000));
  }
  void TearDown() override {
    StopTranslationLayer();
    ClosePipeOut();
  }
  // Runs InitializeRemotePipe and gives its result and how long it took.
  BOOL Initialize(const wchar_t* machine, ULONGLONG* elapsedMs) {
    const ULONGLONG start = GetTickCount64();
    const BOOL result = InitializeRemotePipe(machine, CurrentSession());
    *elapsedMs = GetTickCount64() - start;
    return result;
  }
  TraceCapture trace;
};

TEST_F(Handshake, AnswersTrueWellBeforeTheWaitWhenTheServiceListens) {
  ControlPipeServer server;
  ASSERT_TRUE(server.Start());
  ULONGLONG elapsed = 0;
  EXPECT_EQ(TRUE, Initialize(ComputerName().c_str(), &elapsed));
  EXPECT_LT(elapsed, 3000u);

  EXPECT_EQ(L"\\\\" + ComputerName() + L"\\pipe\\TarnswellControlPipe", g_szControlPipeName);
  EXPECT_EQ(L"\\\\" + ComputerName() + L"\\pipe\\TarnswellGuiPipe", g_szGuiPipeName);
  EXPECT_EQ(ComputerName(), g_szMachineName);
  ASSERT_EQ(1u, g_routed.size());
  EXPECT_EQ(TW4_5::ID_INIT_PIPE_COM, g_routed[0].command);
  EXPECT_EQ(kFromGui, g_routed[0].direction);
  EXPECT_EQ(0, g_routed[0].letter);
  EXPECT_EQ(nullptr, g_routed[0].block);
  EXPECT_TRUE(trace.Contains(L"InitializeRemotePipe()\n"));
  EXPECT_TRUE(trace.Contains(L"InitializeRemotePipe() Success\n"));

  // The probe: 48 zero bytes, and the pipe stays open for the commands that follow.
  ASSERT_TRUE(server.WaitForPackets(1, 5000));
  EXPECT_EQ(std::vector<BYTE>(48, 0), server.Packets()[0]);
  EXPECT_TRUE(IsPipeOutOpen());
}

TEST_F(Handshake, RefusesEmptyOrTooLongMachineNamesAtOnce) {
  ULONGLONG elapsed = 0;
  EXPECT_EQ(FALSE, Initialize(L"", &elapsed));
  EXPECT_EQ(FALSE, Initialize(L"ABCDEFGHIJKLMNOP", &elapsed));  // 16 characters
  EXPECT_EQ(FALSE, Initialize(nullptr, &elapsed));
  EXPECT_LT(elapsed, 1000u);
  EXPECT_EQ(3, trace.Count(L"InitializeRemotePipe - machine name empty, too long or malformed; refused\n"));
  // Nothing was cut into the names, nothing was asked of the translation thread.
  EXPECT_STREQ(L"", g_szMachineName);
  EXPECT_STREQ(L"", g_szControlPipeName);
  EXPECT_FALSE(trace.Contains(L"Calling TranslateCommand\n"));
}

TEST_F(Handshake, AnswersFalseAfterTheWaitWhenNothingListens) {
  ULONGLONG elapsed = 0;
  EXPECT_EQ(FALSE, Initialize(ComputerName().c_str(), &elapsed));
  EXPECT_GE(elapsed, 9900u);
  EXPECT_TRUE(trace.Contains(L"StartTarnswellService - OpenService"));
  EXPECT_FALSE(trace.Contains(L"InitializeRemotePipe() Success\n"));
}

TEST_F(Handshake, LateAnswerSignalsNothingAndTheNextHandshakeWorks) {
  ControlPipeServer server;
  ASSERT_TRUE(server.Start());
  const UniqueHandle gate(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  g_gate = gate.get();
  ULONGLONG elapsed = 0;
  EXPECT_EQ(FALSE, Initialize(ComputerName().c_str(), &elapsed));  // the answer is held back
  EXPECT_GE(elapsed, 9900u);
  ASSERT_NE(nullptr, g_eventSeenByAnswer);

  // The answer comes now, after InitializeRemotePipe closed its handle: it succeeds, but
  // signals nothing.
  SetEvent(g_gate);
  ASSERT_TRUE(trace.WaitFor(L"InitializeRemotePipe() Success\n", 5000));
  EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(g_eventSeenByAnswer, 0));
  CloseHandle(g_eventSeenByAnswer);

  g_gate = nullptr;
  EXPECT_EQ(TRUE, Initialize(ComputerName().c_str(), &elapsed));
  EXPECT_LT(elapsed, 3000u);
}

// By the probe, the receiving pipe admits every caller for a service on another computer only;
// this computer by any letter case, or ".", gets the access list.
TEST_F(Handshake, TheReceivingPipeAdmitsEveryCallerOnlyWhileAnotherComputerIsNamed) {
  ControlPipeServer server;
  ASSERT_TRUE(server.Start());
  g_readAccessList = true;
  std::wstring lower = ComputerName();
  CharLowerW(lower.data());
  ULONGLONG elapsed = 0;
  for (const std::wstring& machine : {ComputerName(), lower, std::wstring(L"."), std::wstring(L"OTHERBOX")}) {
    SCOPED_TRACE(machine);
    Initialize(machine.c_str(), &elapsed);
    if (machine == L"OTHERBOX") {
      EXPECT_EQ(L"D:NO_ACCESS_CONTROL", g_accessListAtProbe);
    } else {
      EXPECT_EQ(0u, g_accessListAtProbe.rfind(L"D:P(A;;FA;;;SY)(A;;FA;;;BA)", 0)) << g_accessListAtProbe;
    }
  }
}

TEST(HandshakeWithoutLayer, FailsAtOnceWhenNoTranslationThreadWasStarted) {
  TraceCapture trace;
  const ULONGLONG start = GetTickCount64();
  EXPECT_EQ(FALSE, InitializeRemotePipe(ComputerName().c_str(), CurrentSession()));
  EXPECT_LT(GetTickCount64() - start, 1000u);
  EXPECT_TRUE(trace.Contains(L"InitializeRemotePipe - the session takes no more commands; nothing changed\n"));
  EXPECT_STREQ(L"", g_szControlPipeName);
}

}  // namespace
