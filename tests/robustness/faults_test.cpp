// Faults the module survives: the service dying inside a body and starting again, a GUI data
// object that fails or blocks in SetData, a GUI object whose activation fails, and 26 drives
// reporting at once with every packet accounted for.

#include "robust_link.h"
#include "test_gui_object.h"

#include <atomic>
#include <map>
#include <memory>

#include "handoff/translation_message.h"
#include "shared/block.h"
#include "support/handle_count.h"
#include "support/module_files.h"
#include "support/recording_data_object.h"
#include "translation/comm_init_body.h"
#include "translation/engine_class_keys.h"
#include "translation/translation_thread.h"

namespace {

CommInitBody CommInitFor(const CLSID& clsid) {
  CommInitBody body{};
  StringFromGUID2(clsid, body.szClsid, 312);
  return body;
}

class Faults : public RobustLink {
 protected:
  // The translation thread frees a message's block once it is done with it, just after the
  // GUI got what it sent: a short bounded wait.
  static bool WaitForNoLiveBlocks() {
    const ULONGLONG deadline = GetTickCount64() + 5000;
    while (GetBlockCounters().live != 0) {
      if (GetTickCount64() >= deadline) return false;
      Sleep(10);
    }
    return true;
  }
};

TEST_F(Faults, ServiceDyingInsideABodyHandsNothingOnAndTheGuiSideStillWorks) {
  PipePacket header{};
  header.dwCommand = TW4_0::ID_NEW_LOG_DATA;
  header.dwDataSize = 1000;
  std::vector<BYTE> cut(kPipeHeaderSize + 300, 0x5A);
  std::memcpy(cut.data(), &header, sizeof(header));
  const std::size_t gui0 = link.gui.Count();
  const LONG64 pipeDrops0 = counter.pipeDrops();
  ASSERT_TRUE(link.service.SendRaw(cut.data(), static_cast<DWORD>(cut.size())));
  link.service.Restart();  // the service process is gone with its half-written packet

  const ULONGLONG deadline = GetTickCount64() + kRobustTimeout;
  while (counter.pipeDrops() == pipeDrops0 && GetTickCount64() < deadline) Sleep(10);
  EXPECT_EQ(pipeDrops0 + 1, counter.pipeDrops());
  EXPECT_NE(std::string::npos,
            counter.Tail().find("PipeIn - connection ended inside a body of 1000 bytes; packet dropped"));
  // The GUI's commands still reach the (restarted) service on a new control connection.
  const int connections0 = link.service.Connections();
  const std::size_t service0 = link.service.Count();
  ASSERT_EQ(S_OK, link.ToService(TW4_5::ID_ANALYZE, OperationBody(L'C')));
  EXPECT_TRUE(WaitForServicePacket(service0, TW4_0::ID_START_ANALYZE, L'C', kRobustTimeout));
  EXPECT_LT(connections0, link.service.Connections());
  for (const GuiPacket& p : link.gui.PacketsFrom(gui0)) EXPECT_NE(TW4_5::ID_RECEIVE_LOG_DATA, p.command);
}

// A registry that refuses every key the module writes for its engine classes.
LONG WINAPI RefuseRegistryWrites(HKEY, LPCWSTR, DWORD, LPWSTR, DWORD, REGSAM, LPSECURITY_ATTRIBUTES, PHKEY result,
                                 LPDWORD) {
  *result = nullptr;
  return ERROR_ACCESS_DENIED;
}

TEST_F(Faults, RegistryRefusingTheEngineClassKeysLeavesTheEngineWorkingInProcess) {
  struct Restore {
    ~Restore() { SetCreateRegKeyFunction(nullptr); }
  } restore;
  SetCreateRegKeyFunction(&RefuseRegistryWrites);
  ExpectSessionWorks(1);  // the drive list gives the GUI its per-drive objects

  const std::size_t gui0 = link.gui.Count();
  ASSERT_TRUE(link.service.Send(TW4_0::ID_ENGINE_START, L'C'));
  ASSERT_TRUE(link.gui.WaitForCount(gui0 + 2, kRobustTimeout));
  // The class has no key, yet the GUI in this process makes its engine object from the class
  // object the module registered with COM, and talks to the service through it.
  ASSERT_EQ(S_OK, link.gui.EngineCreateResult(L'C'));
  const std::wstring classKey = L"CLSID\\" + GuidText(link.gui.EngineClass(L'C'));
  EXPECT_FALSE(RegKeyExists(HKEY_CLASSES_ROOT, classKey));
  EXPECT_NE(std::string::npos,
            counter.Tail().find("RegisterEngineClass - RegCreateKeyEx " + TraceCounter::Narrow(classKey) +
                                "\\InProcServer32 failed with 5"));
  const std::size_t service0 = link.service.Count();
  ASSERT_EQ(S_OK, link.ToEngine(L'C', TW4_5::ID_PAUSE));
  EXPECT_TRUE(WaitForServicePacket(service0, TW4_0::ID_PAUSE_ANALYZE, L'C', kRobustTimeout));

  // At the GUI's exit the missing key is traced and the class still taken back from COM.
  SetCreateRegKeyFunction(nullptr);
  const CLSID engine = link.gui.EngineClass(L'C');
  ASSERT_EQ(S_OK, link.Exit());
  const ULONGLONG deadline = GetTickCount64() + kRobustTimeout;
  while (counter.Tail().find("ExitDataIoClient on pdata4_5GUI") == std::string::npos && GetTickCount64() < deadline) {
    Sleep(10);
  }
  EXPECT_NE(std::string::npos, counter.Tail().find("DeleteRegKey - RegOpenKey"));
  ComPtr<IClassFactory> factory;
  EXPECT_TRUE(FAILED(CoGetClassObject(engine, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER, nullptr, IID_IClassFactory,
                                      reinterpret_cast<void**>(factory.put()))));
  EXPECT_TRUE(WaitForNoLiveBlocks());
}

// The link made with another GUI object than the GUI peer's own.
class FaultyGui : public Faults {
 protected:
  FaultyGui() { connectInSetUp = false; }
  // The module lets go of the test's object at the GUI's exit, before the object goes.
  void TearDown() override {
    if (!link.Exited()) link.Exit();
    const ULONGLONG deadline = GetTickCount64() + 5000;
    while (InterlockedCompareExchange(&object.refs, 0, 0) > 1 && GetTickCount64() < deadline) Sleep(10);
    EXPECT_EQ(1, InterlockedCompareExchange(&object.refs, 0, 0)) << "the module still holds the GUI object";
    StopTranslationLayer();
    Faults::TearDown();
  }
  void ConnectTo(const CLSID& clsid) {
    const CommInitBody comm = CommInitFor(clsid);
    ASSERT_TRUE(link.Connect(kRobustTimeout, &comm)) << "link step failed";
  }
  // The GUI's analysis still reaches the service.
  void ExpectAnalysisReachesService(WCHAR drive) {
    const std::size_t service0 = link.service.Count();
    ASSERT_EQ(S_OK, link.ToService(TW4_5::ID_ANALYZE, OperationBody(drive)));
    EXPECT_TRUE(WaitForServicePacket(service0, TW4_0::ID_START_ANALYZE, drive, kRobustTimeout));
  }
  TestGuiObject object;
  TestGuiFactory factory{&object};
};

TEST_F(FaultyGui, GuiObjectFailingSetDataLosesOnlyThosePacketsAndLeaksNothing) {
  object.answer = E_FAIL;
  ASSERT_NO_FATAL_FAILURE(ConnectTo(factory.clsid));
  const DWORD handles0 = OpenHandleCount();
  constexpr LONG64 kRefused = 200;
  const LONG64 refusals0 = counter.guiRefusals();
  for (std::uint32_t i = 0; i < kRefused; ++i) ASSERT_TRUE(link.service.Send(TW4_0::ID_NEW_LOG_DATA, 0, Marker(100 + i)));
  const ULONGLONG deadline = GetTickCount64() + kRobustTimeout;
  while (counter.guiRefusals() - refusals0 < kRefused && GetTickCount64() < deadline) Sleep(10);
  EXPECT_EQ(kRefused, counter.guiRefusals() - refusals0);  // each refusal traced
  EXPECT_TRUE(object.Bodies().empty());
  // The GUI answers again: the next packet arrives.
  object.answer = S_OK;
  ASSERT_TRUE(link.service.Send(TW4_0::ID_NEW_LOG_DATA, 0, Marker(7)));
  ASSERT_TRUE(object.WaitForBodies(1, kRobustTimeout));
  EXPECT_EQ(1u, object.Bodies().size());
  EXPECT_EQ(Marker(7), object.Bodies()[0]);
  EXPECT_TRUE(WaitForNoLiveBlocks()) << "blocks still live after the refusals";
  EXPECT_LE(OpenHandleCount(), handles0 + 4);
  ExpectAnalysisReachesService(L'D');
}

TEST_F(FaultyGui, GuiObjectBlockingInSetDataDelaysButLosesNothing) {
  ResetEvent(object.release);
  ASSERT_NO_FATAL_FAILURE(ConnectTo(factory.clsid));
  constexpr std::uint32_t kPackets = 300;
  // While the GUI object blocks, the service keeps writing (more than the pipe buffers).
  for (std::uint32_t i = 0; i < kPackets; ++i) {
    ASSERT_TRUE(link.service.Send(TW4_0::ID_NEW_LOG_DATA, 0, Bytes(2000).U32(0, i)));
  }
  const ULONGLONG entered = GetTickCount64() + kRobustTimeout;
  while (InterlockedCompareExchange(&object.calls, 0, 0) == 0 && GetTickCount64() < entered) Sleep(10);
  Sleep(200);
  EXPECT_EQ(1, InterlockedCompareExchange(&object.calls, 0, 0));  // still inside the first call
  // The GUI's commands are not held up on their way in: SetData only queues them.
  const ULONGLONG before = GetTickCount64();
  ASSERT_EQ(S_OK, link.ToService(TW4_5::ID_REQUEST_LOG_DATA));
  EXPECT_LT(GetTickCount64() - before, 1000u);
  SetEvent(object.release);
  ASSERT_TRUE(object.WaitForBodies(kPackets, kRobustTimeout));
  const auto bodies = object.Bodies();
  ASSERT_EQ(kPackets, bodies.size());
  for (std::uint32_t i = 0; i < kPackets; ++i) EXPECT_EQ(i, U32At(bodies[i], 0)) << i;
  ExpectAnalysisReachesService(L'C');
}

TEST_F(FaultyGui, GuiObjectWhoseActivationFailsIsToldAndTheSessionGoesOn) {
  CLSID nobody{};
  CoCreateGuid(&nobody);  // registered nowhere
  ASSERT_NO_FATAL_FAILURE(ConnectTo(nobody));
  ExpectAnalysisReachesService(L'C');
  // The user was told once; the service's messages for the GUI have nowhere to go and are
  // let go of without a leak.
  EXPECT_EQ(1u, link.Boxes().size());
  EXPECT_NE(std::string::npos, counter.Tail().find("TWService: Failed to Initialize Comm to UI"));
  for (std::uint32_t i = 0; i < 50; ++i) ASSERT_TRUE(link.service.Send(TW4_0::ID_NEW_LOG_DATA, 0, Marker(i)));
  ASSERT_TRUE(link.service.Send(TW4_0::ID_DRIVE_DATA, 0, DriveDataBody({})));
  // The GUI names its own object: the empty slot takes it, and everything works.
  const CommInitBody own = link.gui.OwnCommInitBody();
  ASSERT_EQ(S_OK, link.ToService(TW4_5::ID_INIT_SERVICE_COMM, &own, sizeof(own)));
  ExpectSessionWorks(2);
  EXPECT_TRUE(WaitForNoLiveBlocks());
}

// Refuses every third post as a full queue does on Windows: the pipe thread must retry.
volatile LONG g_posts = 0;
BOOL WINAPI PostIntoBusyQueue(DWORD threadId, UINT message, WPARAM first, LPARAM second) {
  if (InterlockedIncrement(&g_posts) % 3 == 0) {
    SetLastError(ERROR_NOT_ENOUGH_QUOTA);
    return FALSE;
  }
  return PostThreadMessageW(threadId, message, first, second);
}

constexpr std::uint32_t kPerDrive = 100;
struct Reporter {
  LinkedLayer* link;
  WCHAR letter;
  std::atomic<bool> ok{true};
};

// One reporter thread per drive: its display data, numbered, as fast as the pipe takes them.
DWORD WINAPI Report(void* context) {
  auto* r = static_cast<Reporter*>(context);
  for (std::uint32_t n = 0; n < kPerDrive; ++n) {
    if (!r->link->service.Send(TW4_0::ID_NEW_DISPLAY_DATA, r->letter, Bytes(600).U32(0, n), n)) r->ok = false;
  }
  return 0;
}

TEST_F(Faults, TwentySixDrivesReportingAtOnceLoseNothing) {
  ASSERT_TRUE(link.service.Send(TW4_0::ID_DRIVE_DATA, 0, DriveDataBody({})));
  for (int i = 0; i < 26; ++i) {
    const auto letter = static_cast<WCHAR>(L'A' + i);
    ASSERT_EQ(S_OK, link.ToService(TW4_5::ID_ANALYZE, OperationBody(letter)));
  }
  for (int i = 0; i < 26; ++i) ASSERT_TRUE(link.service.Send(TW4_0::ID_ENGINE_START, static_cast<WCHAR>(L'A' + i)));
  SettleServiceSide(0);
  const std::size_t gui0 = link.gui.Count();

  SetPostThreadMessageFunction(&PostIntoBusyQueue);
  std::vector<std::unique_ptr<Reporter>> reporters;
  std::vector<HANDLE> threads;
  for (int i = 0; i < 26; ++i) {
    reporters.push_back(std::make_unique<Reporter>());
    reporters.back()->link = &link;
    reporters.back()->letter = static_cast<WCHAR>(L'A' + i);
    threads.push_back(CreateThread(nullptr, 0, &Report, reporters.back().get(), 0, nullptr));
    ASSERT_NE(nullptr, threads.back());
  }
  for (HANDLE t : threads) {
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(t, kRobustTimeout));
    CloseHandle(t);
  }
  for (const auto& r : reporters) EXPECT_TRUE(r->ok);
  SettleServiceSide(1);
  SetPostThreadMessageFunction(nullptr);

  // Every display packet at its drive's object, in the order its reporter wrote them.
  std::map<std::wstring, std::vector<std::uint32_t>> seen;
  for (const GuiPacket& p : link.gui.PacketsFrom(gui0)) {
    if (p.command == TW4_5::ID_DISP_DATA && p.body.size() >= 544) seen[p.target].push_back(U32At(p.body, 540));
  }
  std::size_t total = 0;
  for (int i = 0; i < 26; ++i) {
    const std::wstring target(1, static_cast<wchar_t>(L'A' + i));
    SCOPED_TRACE(testing::Message() << "drive " << static_cast<char>('A' + i));
    ASSERT_EQ(kPerDrive, seen[target].size());
    for (std::uint32_t n = 0; n < kPerDrive; ++n) EXPECT_EQ(n, seen[target][n]);
    total += seen[target].size();
  }
  EXPECT_EQ(26u * kPerDrive, total);
  EXPECT_LT(2, InterlockedCompareExchange(&g_posts, 0, 0) / 3);  // refusals happened, and were retried
  EXPECT_EQ(std::string::npos, counter.Tail().find("PostThreadMessage failed"));
}

}  // namespace

namespace {

// The GUI's first command comes right after the layer's start and opens the sending pipe; the
// pipe thread closes a stale sending pipe before it listens. The start returns only once the
// receiving pipe is there, so that close never takes the fresh pipe, and the service may
// connect at once.
TEST(LayerStart, TheReceivingPipeListensWhenTheStartReturns) {
  for (int i = 0; i < 20; ++i) {
    SCOPED_TRACE(testing::Message() << "start " << i);
    StartTranslationLayer();
    EXPECT_TRUE(WaitNamedPipeW(kGuiPipeLocalName, 1)) << "error " << GetLastError();
    StopTranslationLayer();
  }
}

}  // namespace
