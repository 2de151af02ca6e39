// The sending pipe against a control pipe played in this process, and the service start
// through the real service control manager of the test prefix.

#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "handoff/commands.h"
#include "handoff/translation_message.h"
#include "pipes/pipe_out.h"
#include "pipes/pipe_packet.h"
#include "pipes/remote_pipe.h"
#include "pipes/send_pipe.h"
#include "shared/owners.h"
#include "support/control_pipe_server.h"
#include "support/trace_capture.h"
#include "translation/translate_command.h"

namespace {

std::wstring ComputerName() {
  WCHAR name[MAX_COMPUTERNAME_LENGTH + 1];
  DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
  EXPECT_TRUE(GetComputerNameW(name, &size));
  return name;
}

std::wstring ControlPipeOn(const std::wstring& machine) { return L"\\\\" + machine + L"\\pipe\\TarnswellControlPipe"; }

std::vector<BYTE> MakePacket(std::uint32_t command, std::uint32_t param, WCHAR drive, std::uint32_t bodyBytes) {
  std::vector<BYTE> bytes(kPipeHeaderSize + bodyBytes);
  auto* packet = reinterpret_cast<PipePacket*>(bytes.data());
  packet->dwCommand = command;
  packet->dwParam = param;
  wcscpy(packet->szText, L"Analyze");
  packet->cDrive = drive;
  packet->dwDataSize = bodyBytes;
  for (std::uint32_t i = 0; i < bodyBytes; ++i) bytes[kPipeHeaderSize + i] = static_cast<BYTE>(i * 7 + 1);
  return bytes;
}

BOOL Send(const std::vector<BYTE>& packet, const std::wstring& name) {
  return SendData(reinterpret_cast<const PipePacket*>(packet.data()), name.c_str());
}

class SendPipe : public ::testing::Test {
 protected:
  void TearDown() override {
    SetPipeOpenFunction(nullptr);
    SetPipeWriteFunction(nullptr);
    ClosePipeOut();
  }
  TraceCapture trace;
};

TEST_F(SendPipe, WritesEachPacketWholeWithOneConnection) {
  ControlPipeServer server;
  ASSERT_TRUE(server.Start());
  const auto empty = MakePacket(8200, 0, L'C', 0);
  const auto withBody = MakePacket(8504, 12345, L'd', 10);

  // The UNC name of this computer reaches the local pipe.
  ASSERT_EQ(1, Send(empty, ControlPipeOn(ComputerName())));
  ASSERT_EQ(1, Send(withBody, ControlPipeOn(ComputerName())));
  EXPECT_EQ(2, trace.Count(L"SendData on PipeOut Successful\n"));
  ASSERT_TRUE(server.WaitForPackets(2, 5000));
  ClosePipeOut();
  server.Stop();

  std::vector<BYTE> expected = empty;
  expected.insert(expected.end(), withBody.begin(), withBody.end());
  const auto connections = server.Connections();
  ASSERT_EQ(1u, connections.size());
  EXPECT_EQ(48u + 58u, connections[0].size());  // a 0-byte body is exactly the 48-byte header
  EXPECT_EQ(expected, connections[0]);
}

// The first write fails as a write into a broken pipe does on Windows (Wine never answers
// ERROR_BROKEN_PIPE to a write); later writes are real.
int g_writes = 0;
BOOL WriteIntoBrokenPipeFirst(HANDLE pipe, const void* data, DWORD bytes, DWORD* written) {
  if (g_writes++ == 0) {
    SetLastError(ERROR_BROKEN_PIPE);
    return FALSE;
  }
  return WriteFile(pipe, data, bytes, written, nullptr);
}

// The first open hands out a handle that cannot be written at all.
HANDLE OpenReadOnlyEnd(const wchar_t*, SECURITY_ATTRIBUTES*) {
  HANDLE read = nullptr, write = nullptr;
  if (!CreatePipe(&read, &write, nullptr, 0)) return INVALID_HANDLE_VALUE;
  CloseHandle(write);
  return read;
}

// However the service let go of its end (closed the instance: 232; disconnected it: 233; the
// pipe broke: 109, which only the write seam can answer under Wine), the next command
// reconnects once and is written whole.
TEST_F(SendPipe, ServerEndGoneReconnectsOnceAndWritesAgain) {
  using After = ControlPipeServer::AfterPacket;
  const auto first = MakePacket(8200, 0, L'C', 0);
  const auto second = MakePacket(8202, 0, L'C', 4);
  const std::pair<After, PipeWriteFunction> cases[] = {
      {After::kCloseAndListen, nullptr}, {After::kDisconnectAndListen, nullptr},
      {After::kCloseAndListen, &WriteIntoBrokenPipeFirst}};
  for (const auto& [after, write] : cases) {
    SCOPED_TRACE(testing::Message() << static_cast<int>(after) << (write != nullptr ? " broken pipe" : ""));
    ControlPipeServer server(after);
    ASSERT_TRUE(server.Start());
    ASSERT_EQ(1, Send(first, L"\\\\.\\pipe\\TarnswellControlPipe"));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(server.AfterEvent(), 5000));
    g_writes = 0;
    SetPipeWriteFunction(write);
    EXPECT_EQ(1, Send(second, L"\\\\.\\pipe\\TarnswellControlPipe"));
    SetPipeWriteFunction(nullptr);
    ASSERT_TRUE(server.WaitForPackets(2, 5000));
    EXPECT_EQ(second, server.Packets()[1]);
    EXPECT_EQ(2u, server.Connections().size());
    if (write != nullptr) {
      EXPECT_EQ(2, g_writes);  // the refused write, then the one on the new connection
    }
    ClosePipeOut();
  }
  EXPECT_FALSE(trace.ContainsPart(L"WriteFile1"));
  EXPECT_FALSE(trace.ContainsPart(L"WriteFile2"));
}

// The service's end is gone and nothing listens again: the dead handle is closed all the
// same, so that the next command connects afresh. (This computer's name in other letters
// reaches the local pipe but counts as another machine: no service is started.)
TEST_F(SendPipe, ADeadSendingPipeIsClosedWhenNothingListensAgain) {
  ControlPipeServer server(ControlPipeServer::AfterPacket::kDisconnectAndStay);
  ASSERT_TRUE(server.Start());
  std::wstring lower = ComputerName();
  CharLowerW(lower.data());
  if (lower == ComputerName()) GTEST_SKIP() << "the computer's name has no upper-case letters";
  ASSERT_EQ(1, Send(MakePacket(8200, 0, L'C', 0), ControlPipeOn(lower)));
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(server.AfterEvent(), 5000));
  EXPECT_EQ(0, Send(MakePacket(8202, 0, L'C', 0), ControlPipeOn(lower)));
  EXPECT_FALSE(IsPipeOutOpen());
  EXPECT_FALSE(trace.ContainsPart(L"StartTarnswellService"));
}

TEST_F(SendPipe, OtherWriteFailureIsTracedAndKeepsTheHandle) {
  ControlPipeServer server;
  ASSERT_TRUE(server.Start());
  SetPipeOpenFunction(&OpenReadOnlyEnd);
  const auto packet = MakePacket(8200, 0, L'C', 0);
  EXPECT_EQ(0, Send(packet, L"\\\\.\\pipe\\TarnswellControlPipe"));
  EXPECT_EQ(1, trace.Count(L"Error #5 - SendData - WriteFile1"));  // ERROR_ACCESS_DENIED
  EXPECT_TRUE(IsPipeOutOpen());
  // The next command writes to the same handle again, without a new connection.
  EXPECT_EQ(0, Send(packet, L"\\\\.\\pipe\\TarnswellControlPipe"));
  EXPECT_EQ(2, trace.Count(L"Error #5 - SendData - WriteFile1"));
  EXPECT_EQ(0, trace.Count(L"SendData on PipeOut Successful\n"));
}

HANDLE FailPipeConnected(const wchar_t*, SECURITY_ATTRIBUTES*) {
  SetLastError(ERROR_PIPE_CONNECTED);
  return INVALID_HANDLE_VALUE;
}

int g_pipeConnectedAnswers = 0;
HANDLE FailPipeConnectedTwice(const wchar_t* name, SECURITY_ATTRIBUTES* attributes) {
  if (g_pipeConnectedAnswers++ < 2) return FailPipeConnected(name, attributes);
  return CreateFileW(name, GENERIC_WRITE, 0, attributes, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

TEST_F(SendPipe, PipeConnectedAnswerNeverCountsAsAnOpenPipe) {
  ControlPipeServer server;
  ASSERT_TRUE(server.Start());
  SetPipeOpenFunction(FailPipeConnectedTwice);
  EXPECT_EQ(1, ConnectToServer(L"\\\\.\\pipe\\TarnswellControlPipe"));
  EXPECT_TRUE(IsPipeOutOpen());
  EXPECT_EQ(2, trace.Count(L"CreateFile error = 535\n"));
  EXPECT_FALSE(trace.ContainsPart(L"ConnectToServer - CreateFile"));

  ClosePipeOut();
  trace.Clear();
  SetPipeOpenFunction(FailPipeConnected);
  EXPECT_EQ(0, ConnectToServer(L"\\\\.\\pipe\\TarnswellControlPipe"));
  EXPECT_FALSE(IsPipeOutOpen());
  EXPECT_EQ(10, trace.Count(L"CreateFile error = 535\n"));
  EXPECT_EQ(1, trace.Count(L"Error #535 - PipeOut - ConnectToServer - CreateFile"));
}

// The service "Tarnswell" is removed before and after each case that uses it.
void RemoveService() {
  const UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  ASSERT_TRUE(manager.valid());
  const UniqueScHandle service(OpenServiceW(manager.get(), L"Tarnswell", SERVICE_ALL_ACCESS));
  if (!service) return;
  // A service still starting takes no stop request: ask again until it has stopped.
  SERVICE_STATUS status{};
  for (int i = 0; i < 200 && QueryServiceStatus(service.get(), &status) && status.dwCurrentState != SERVICE_STOPPED; ++i) {
    if (status.dwCurrentState == SERVICE_RUNNING) ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
    Sleep(50);  // the manager offers no event for the stop here
  }
  EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), status.dwCurrentState);
  EXPECT_TRUE(DeleteService(service.get()));
}

DWORD ServiceState(SC_HANDLE service) {
  SERVICE_STATUS status{};
  EXPECT_TRUE(QueryServiceStatus(service, &status));
  return status.dwCurrentState;
}

// The state once it is `state`, or the last one seen after `timeoutMs`. A started service
// reports itself running from its own process, in its own time; the manager offers no event
// for it here, so the state is asked for again every 20 ms.
DWORD WaitForServiceState(SC_HANDLE service, DWORD state, DWORD timeoutMs) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  DWORD seen = ServiceState(service);
  while (seen != state && GetTickCount64() < deadline) {
    Sleep(20);
    seen = ServiceState(service);
  }
  return seen;
}

class TarnswellService : public SendPipe {
 protected:
  void SetUp() override { RemoveService(); }
  void TearDown() override {
    SendPipe::TearDown();
    service.reset();
    manager.reset();
    RemoveService();
  }
  void Install() {
    WCHAR path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    ASSERT_GT(length, 0u);
    std::wstring program(path, length);
    program = program.substr(0, program.find_last_of(L'\\') + 1) + L"test_service.exe";
    manager.reset(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    ASSERT_TRUE(manager.valid());
    service.reset(CreateServiceW(manager.get(), L"Tarnswell", L"Tarnswell", SERVICE_ALL_ACCESS,
                                 SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE,
                                 (L"\"" + program + L"\"").c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    ASSERT_TRUE(service.valid()) << GetLastError();
  }
  UniqueScHandle manager;
  UniqueScHandle service;
};

TEST_F(TarnswellService, NotInstalledSendFailsInOpenService) {
  const auto probe = MakePacket(0, 0, 0, 0);
  // Before any handshake the control pipe name is empty and counts as local.
  EXPECT_EQ(0, Send(probe, L""));
  EXPECT_TRUE(trace.ContainsPart(L"WaitNamedPipe error = "));
  EXPECT_EQ(1, trace.Count(L"StartTarnswellService - OpenService"));
  EXPECT_EQ(0, Send(probe, ControlPipeOn(ComputerName())));
  EXPECT_EQ(2, trace.Count(L"StartTarnswellService - OpenService"));
  EXPECT_FALSE(IsPipeOutOpen());
}

// The exit of a session that never reached its service (the control pipe names this
// computer, whose service is stopped) starts no service only to tell it to stop.
TEST_F(TarnswellService, AnExitThatFindsNoServiceStartsNone) {
  Install();
  wcscpy(g_szControlPipeName, ControlPipeOn(ComputerName()).c_str());
  TranslateCommand(TW4_5::ID_FENUI_EXIT, nullptr, 0, kFromGui);
  EXPECT_TRUE(trace.Contains(L"TW4_5::ID_FENUI_EXIT Done\n"));
  EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), ServiceState(service.get()));
  EXPECT_FALSE(trace.ContainsPart(L"StartTarnswellService"));
  g_szControlPipeName[0] = L'\0';
}

TEST_F(TarnswellService, FirstSendStartsTheLocalServiceOnly) {
  Install();
  const auto probe = MakePacket(0, 0, 0, 0);
  // Another machine's service is never started; nor is this one's when its name is written in
  // other letters, since the name is compared letter for letter.
  std::vector<std::wstring> remote = {ControlPipeOn(L"OTHERBOX")};
  std::wstring lower = ComputerName();
  CharLowerW(lower.data());
  if (lower != ComputerName()) remote.push_back(ControlPipeOn(lower));
  for (const auto& name : remote) {
    EXPECT_EQ(0, Send(probe, name));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), ServiceState(service.get()));
  }
  EXPECT_FALSE(trace.ContainsPart(L"StartTarnswellService"));

  const UniqueHandle packetSeen(CreateEventW(nullptr, FALSE, FALSE, L"CobalinTestServicePacket"));
  EXPECT_EQ(1, Send(probe, ControlPipeOn(ComputerName())));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(packetSeen.get(), 10000));
  EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), WaitForServiceState(service.get(), SERVICE_RUNNING, 10000));
  EXPECT_EQ(1, trace.Count(L"SendData on PipeOut Successful\n"));
  EXPECT_FALSE(trace.ContainsPart(L"StartTarnswellService"));
  // Running: a start now answers 1 without starting anything.
  EXPECT_EQ(1, StartTarnswellService());
}

}  // namespace
