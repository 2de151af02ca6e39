// The receiving pipe through real Wine named pipes: a client plays the service and writes
// packets; a recorder in TranslateCommand's place sees what the pipe thread posted.

#include <gtest/gtest.h>

#include <windows.h>
#include <sddl.h>

#include <cstring>
#include <string>

#include "pipes/pipe_packet.h"
#include "pipes/pipe_trust.h"
#include "pipes/receive_pipe.h"
#include "shared/block.h"
#include "shared/owners.h"
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

// A service that restarts finds the pipe listening again; the link is lost in between.
TEST_F(ReceivePipeTest, AServiceThatReconnectsIsHeardAgain) {
  ASSERT_TRUE(service.WritePacket(TW4_0::ID_ENGINE_START, L'C', {}));
  ASSERT_TRUE(recorder.WaitForCount(1, kTimeout));
  EXPECT_FALSE(HasServiceLostReceivingPipe());
  service.Close();
  ASSERT_TRUE(WaitUntil(&HasServiceLostReceivingPipe, kTimeout));
  ASSERT_TRUE(service.Connect(kTimeout));
  ASSERT_TRUE(service.WritePacket(TW4_0::ID_ENGINE_EXIT, L'D', {}));
  ASSERT_TRUE(recorder.WaitForCount(2, kTimeout));
  EXPECT_EQ(TW4_0::ID_ENGINE_EXIT, recorder.Messages()[1].command);
  EXPECT_FALSE(HasServiceLostReceivingPipe());

  // Listening again after the second connection: the stop still ends the thread by itself.
  service.Close();
  ASSERT_TRUE(WaitUntil(&HasServiceLostReceivingPipe, kTimeout));
  StopTranslationLayer();
  EXPECT_EQ(2u, recorder.Count());
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
  EXPECT_TRUE(WaitUntil(&HasServiceLostReceivingPipe, kTimeout));
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

namespace {

constexpr wchar_t kAccessList[] = L"D:P(A;;FA;;;SY)(A;;FA;;;BA)";
constexpr wchar_t kEveryCaller[] = L"D:NO_ACCESS_CONTROL";

bool LinkUp() { return !HasServiceLostReceivingPipe(); }

// The receiving pipe's descriptor read back from the pipe, with the service "Tarnswell"
// installed (never started) under the account each step configures.
class ReceivingPipeAccess : public ::testing::Test {
 protected:
  void SetUp() override {
    manager.reset(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    service.reset(CreateServiceW(manager.get(), L"Tarnswell", L"Tarnswell", SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                 SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE, L"C:\\none.exe", nullptr, nullptr, nullptr,
                                 nullptr, nullptr));
    ASSERT_TRUE(service.valid()) << GetLastError();
  }
  void TearDown() override {
    StopTranslationLayer();
    DeleteService(service.get());
  }
  // A new layer, after the service was set to run as `account`.
  void RestartWithAccount(const wchar_t* account) {
    StopTranslationLayer();
    ASSERT_TRUE(ChangeServiceConfigW(service.get(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, nullptr,
                                     nullptr, nullptr, nullptr, account, L"", nullptr));
    StartTranslationLayer();
  }
  UniqueScHandle manager;
  UniqueScHandle service;
  TraceCapture trace;
  TranslationRecorder recorder;
};

TEST_F(ReceivingPipeAccess, ThisComputersServiceAloneIsAdmitted) {
  StartTranslationLayer();  // configured without an account: LocalSystem
  EXPECT_EQ(kAccessList, ReceivingPipeAccessList(kTimeout));
  EXPECT_TRUE(trace.Contains(L"WaitForClientConnection - receiving pipe admits LocalSystem, the Administrators and the "
                             L"service's account only\n"));

  // Another account: its identifier is the third grant.
  WCHAR user[256], domain[256];
  DWORD size = 256, domainSize = 256, sidSize = SECURITY_MAX_SID_SIZE;
  BYTE sid[SECURITY_MAX_SID_SIZE];
  SID_NAME_USE use;
  wchar_t* sidText = nullptr;
  ASSERT_TRUE(GetUserNameW(user, &size) && LookupAccountNameW(nullptr, user, sid, &sidSize, domain, &domainSize, &use) &&
              ConvertSidToStringSidW(sid, &sidText));
  const UniqueLocal sidTextOwner(sidText);
  RestartWithAccount(user);
  EXPECT_EQ(std::wstring(kAccessList) + L"(A;;FA;;;" + sidText + L")", ReceivingPipeAccessList(kTimeout));

  // One that names no account is left out, and said so.
  RestartWithAccount(L"NoSuchAccount");
  EXPECT_EQ(kAccessList, ReceivingPipeAccessList(kTimeout));
  EXPECT_TRUE(trace.ContainsPart(L"ReceivingPipeSecurity - the service's account \"NoSuchAccount\" cannot be resolved"));
}

TEST_F(ReceivingPipeAccess, EveryCallerIsAdmittedOnlyForAServiceElsewhereOrByTheAdministratorsSwitch) {
  StartTranslationLayer();
  // Another computer named: the listening instance is replaced.
  ASSERT_TRUE(SetReceivingPipeAdmission(PipeAdmission::kAnyCaller, kTimeout));
  EXPECT_EQ(kEveryCaller, ReceivingPipeAccessList(kTimeout));
  // A connection made under the null list ends when this computer is named again...
  ServicePipeClient client;
  ASSERT_TRUE(client.Connect(kTimeout));
  ASSERT_TRUE(SetReceivingPipeAdmission(PipeAdmission::kServiceOnThisComputer, kTimeout));
  EXPECT_EQ(kAccessList, ReceivingPipeAccessList(kTimeout));
  // ...while one made under the access list is kept when another computer is named.
  ASSERT_TRUE(client.Connect(kTimeout));
  ASSERT_TRUE(WaitUntil(&LinkUp, kTimeout));
  ASSERT_TRUE(SetReceivingPipeAdmission(PipeAdmission::kAnyCaller, kTimeout));
  ASSERT_TRUE(client.WritePacket(TW4_0::ID_ENGINE_START, L'C', {}));
  EXPECT_TRUE(recorder.WaitForCount(1, kTimeout));
  client.Close();
  EXPECT_EQ(kEveryCaller, ReceivingPipeAccessList(kTimeout));

  // The administrator's switch, read at the layer's start.
  UniqueHKey key;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, kModuleClassKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                                           key.put(), nullptr));
  const DWORD on = 1;
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key.get(), kOpenPipeValue, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&on),
                                          sizeof(on)));
  RestartWithAccount(nullptr);
  const std::wstring list = ReceivingPipeAccessList(kTimeout);
  RegDeleteValueW(key.get(), kOpenPipeValue);
  EXPECT_EQ(kEveryCaller, list);
  EXPECT_TRUE(trace.Contains(L"WaitForClientConnection - receiving pipe admits every caller: OpenReceivingPipe is set\n"));
}

}  // namespace
