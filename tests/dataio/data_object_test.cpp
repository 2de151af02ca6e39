// PmkDataObject's IDataObject rules and the hand-off of received commands to the translation
// thread.

#include <gtest/gtest.h>

#include "dataio/caller_checks.h"
#include "dataio/class_factory.h"
#include "dataio/data_object.h"
#include "dataio/data_object_count.h"
#include "handoff/commands.h"
#include "pipes/pipe_out.h"
#include "pipes/remote_pipe.h"
#include "shared/owners.h"
#include "support/control_pipe_server.h"
#include "support/gui_peer.h"
#include "support/linked_layer.h"
#include "support/trace_capture.h"
#include "translation_observer.h"

namespace {

ComPtr<IDataObject> NewDataObject(CClassFactory& factory = g_ClassFactory) {
  ComPtr<IDataObject> object;
  EXPECT_EQ(S_OK, factory.CreateInstance(nullptr, IID_IDataObject, reinterpret_cast<void**>(object.put())));
  return object;
}

FORMATETC Format(CLIPFORMAT cf, DWORD aspect, DWORD tymed) { return FORMATETC{cf, nullptr, aspect, -1, tymed}; }

// Counts the releases ReleaseStgMedium makes through pUnkForRelease.
struct ReleaseCounter final : IUnknown {
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(++releases); }
  int releases = 0;
};

HRESULT Set(IDataObject* object, HGLOBAL block, IUnknown* owner = nullptr, DWORD tymed = TYMED_HGLOBAL) {
  FORMATETC format = Format(CF_TEXT, DVASPECT_CONTENT, tymed);
  STGMEDIUM medium{TYMED_HGLOBAL, {}, owner};
  medium.hGlobal = block;
  return object->SetData(&format, &medium, TRUE);
}

}  // namespace

TEST(DataObject, AnswersByTheRuleTables) {
  auto object = NewDataObject();
  TraceCapture trace;
  FORMATETC f = Format(CF_TEXT, DVASPECT_CONTENT, TYMED_HGLOBAL | TYMED_FILE);
  EXPECT_EQ(S_OK, object->QueryGetData(&f));
  UniqueHGlobal block(MakeGuiBlock(TW4_5::ID_ANALYZE, nullptr, 0));
  EXPECT_EQ(E_FAIL, Set(object.get(), block.get(), nullptr, TYMED_HGLOBAL | TYMED_FILE));  // tymed 3
  EXPECT_EQ(E_FAIL, Set(object.get(), nullptr));
  EXPECT_EQ(20u, GlobalSize(block.get()));  // a refused block stays the caller's
  f = Format(CF_TEXT, DVASPECT_THUMBNAIL, TYMED_HGLOBAL);
  EXPECT_EQ(DV_E_FORMATETC, object->QueryGetData(&f));
  f = Format(CF_BITMAP, DVASPECT_CONTENT, TYMED_HGLOBAL);
  EXPECT_EQ(DV_E_FORMATETC, object->QueryGetData(&f));
  f = Format(CF_TEXT, DVASPECT_CONTENT, TYMED_ISTREAM);
  EXPECT_EQ(DV_E_TYMED, object->QueryGetData(&f));

  STGMEDIUM medium{};
  f = Format(CF_BITMAP, DVASPECT_CONTENT, TYMED_HGLOBAL);
  EXPECT_EQ(DV_E_FORMATETC, object->GetData(&f, &medium));
  f = Format(CF_TEXT, DVASPECT_CONTENT, TYMED_ISTREAM);
  EXPECT_EQ(DV_E_FORMATETC, object->GetData(&f, &medium));
  // Nothing ever fills the object: a well-formed request fails at the lock, handing out nothing.
  f = Format(CF_TEXT, DVASPECT_CONTENT, TYMED_HGLOBAL);
  EXPECT_EQ(E_FAIL, object->GetData(&f, &medium));
  EXPECT_TRUE(trace.Contains(L"PmkDataObject::GetData - GlobalLock"));
  EXPECT_EQ(nullptr, medium.hGlobal);

  FORMATETC out{};
  EXPECT_EQ(E_NOTIMPL, object->GetDataHere(&f, &medium));
  EXPECT_EQ(DATA_S_SAMEFORMATETC, object->GetCanonicalFormatEtc(&f, &out));
  EXPECT_EQ(E_NOTIMPL, object->EnumFormatEtc(DATADIR_GET, nullptr));
  EXPECT_EQ(OLE_E_ADVISENOTSUPPORTED, object->DAdvise(&f, 0, nullptr, nullptr));
  EXPECT_EQ(OLE_E_ADVISENOTSUPPORTED, object->DUnadvise(1));
  EXPECT_EQ(OLE_E_ADVISENOTSUPPORTED, object->EnumDAdvise(nullptr));
}

TEST(DataObject, CommandsReachTheTranslationThreadWithTheDriveLetterOfTheirClassObject) {
  TranslationObserver observer;
  const auto driveD = ComPtr<CClassFactory>::Attach(CClassFactory::CreateForEngine(L'd', CurrentSession()));
  const auto driveE = ComPtr<CClassFactory>::Attach(CClassFactory::CreateForEngine(L'E', CurrentSession()));
  auto engine = NewDataObject(*driveD.get());
  auto later = NewDataObject(*driveE.get());
  auto pseudo = NewDataObject();

  const BYTE body[6] = {1, 2, 3, 4, 5, 6};
  ReleaseCounter owner;
  EXPECT_EQ(S_OK, Set(engine.get(), MakeGuiBlock(TW4_5::ID_DEFRAG, body, sizeof(body)), &owner));
  // Malformed, truncated and too short blocks are answered S_OK, released, and go nowhere.
  HGLOBAL dropped[3] = {MakeGuiBlock(TW4_5::ID_STOP, nullptr, 0),
                        MakeGuiBlock(TW4_5::ID_STOP, body, sizeof(body), sizeof(body) + 5),
                        GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, 12)};
  static_cast<DataIoHeader*>(GlobalLock(dropped[0]))->Reserved2 = 2;
  GlobalUnlock(dropped[0]);
  for (HGLOBAL block : dropped) {
    EXPECT_EQ(S_OK, Set(engine.get(), block, &owner));
    GlobalFree(block);  // the counter stood in for the release
  }
  EXPECT_EQ(4, owner.releases);
  // Reserved1 is not looked at; a command without a body travels without a block.
  HGLOBAL odd = MakeGuiBlock(TW4_5::ID_PAUSE, nullptr, 0);
  static_cast<DataIoHeader*>(GlobalLock(odd))->Reserved1 = 0x7777;
  GlobalUnlock(odd);
  EXPECT_EQ(S_OK, Set(later.get(), odd));
  EXPECT_EQ(S_OK, Set(pseudo.get(), MakeGuiBlock(TW4_5::ID_CONTINUE, nullptr, 0)));
  // ID_INIT_PIPE_COM never goes to the translation thread. Without a name, with one that is
  // not terminated, or naming a machine whose registry cannot be reached, it fails; the block
  // was copied, so it is released as every other one.
  const wchar_t unterminated[3] = {L'P', L'C', L'1'};
  const wchar_t nowhere[] = L"NOSUCHMACHINE";
  const std::pair<const void*, std::uint32_t> failing[] = {
      {nullptr, 0}, {unterminated, sizeof(unterminated)}, {nowhere, sizeof(nowhere)}};
  for (const auto& [name, size] : failing) {
    UniqueHGlobal block(MakeGuiBlock(TW4_5::ID_INIT_PIPE_COM, name, size));
    EXPECT_EQ(E_FAIL, Set(pseudo.get(), block.get(), &owner)) << size;
  }
  EXPECT_EQ(7, owner.releases);
  EXPECT_EQ(S_OK, Set(pseudo.get(), MakeGuiBlock(TW4_5::ID_ABORT, nullptr, 0)));

  ASSERT_TRUE(observer.WaitFor(4));
  const auto seen = observer.Seen();
  ASSERT_EQ(4u, seen.size());
  EXPECT_EQ(TW4_5::ID_DEFRAG, seen[0].command);
  EXPECT_EQ(L'd', seen[0].letter);
  EXPECT_EQ(1, seen[0].direction);
  ASSERT_EQ(16 + sizeof(body), seen[0].packet.size());
  EXPECT_EQ(0, memcmp(body, seen[0].packet.data() + 16, sizeof(body)));
  EXPECT_EQ(TW4_5::ID_PAUSE, seen[1].command);
  EXPECT_EQ(L'E', seen[1].letter);
  EXPECT_FALSE(seen[1].hadBlock);
  EXPECT_EQ(TW4_5::ID_CONTINUE, seen[2].command);
  EXPECT_EQ(0, seen[2].letter);
  EXPECT_EQ(TW4_5::ID_ABORT, seen[3].command);
}

// The GUI names this computer: rights, build number and the pipe probe are all had on the
// caller's thread, and SetData answers only then. Its success takes the medium, released once.
TEST(DataObject, InitPipeComConnectsToTheServiceOfTheNamedMachine) {
  const wchar_t* const versionKey = L"SOFTWARE\\Pellmark\\Tarnswell\\CurrentVersion";
  const wchar_t build[] = L"4.0.1381";
  ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueW(HKEY_LOCAL_MACHINE, versionKey, L"BuildNumber", REG_SZ, build, sizeof(build)));
  ControlPipeServer service;
  ASSERT_TRUE(service.Start());
  TranslationObserver observer;
  observer.hook = [](const Observed& seen) {
    if (seen.command == TW4_5::ID_INIT_PIPE_COM) AnswerPipeInitProbe();
  };
  wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD length = MAX_COMPUTERNAME_LENGTH + 1;
  ASSERT_TRUE(GetComputerNameW(name, &length));
  auto pseudo = NewDataObject();
  const auto nameSize = static_cast<std::uint32_t>((length + 1) * sizeof(wchar_t));
  // The same name in a body that runs past its block (beyond the four bytes behind it) names
  // no machine: refused, nothing connected, the block still the caller's.
  ReleaseCounter owner;
  for (const std::uint32_t claimed : {nameSize + 64, 0xFFFFFFF0u}) {
    UniqueHGlobal truncated(MakeGuiBlock(TW4_5::ID_INIT_PIPE_COM, name, nameSize, claimed));
    EXPECT_EQ(E_FAIL, Set(pseudo.get(), truncated.get(), &owner)) << claimed;
  }
  EXPECT_EQ(2, owner.releases) << "a refused ID_INIT_PIPE_COM keeps the copied medium";
  EXPECT_TRUE(service.Connections().empty()) << "the refused name was connected to";
  UniqueHGlobal block(MakeGuiBlock(TW4_5::ID_INIT_PIPE_COM, name, nameSize));
  EXPECT_EQ(S_OK, Set(pseudo.get(), block.get(), &owner));
  EXPECT_EQ(3, owner.releases) << "the medium of a successful ID_INIT_PIPE_COM is released exactly once";
  EXPECT_EQ(GlobalSize(block.get()), (length + 1) * sizeof(wchar_t) + 20) << "a medium with an owner is freed by it";
  ASSERT_TRUE(service.WaitForPackets(1, 5000));
  EXPECT_EQ(std::vector<BYTE>(48, 0), service.Packets()[0]);  // the zero probe

  // Re-targeting, with another computer whose build number can be read ("OTHERBOX"): a name
  // the checks refuse changes nothing, the same computer keeps the open pipe, another one is
  // reached or fails with nothing more going to the first, which is then connected afresh.
  SetRemoteBuildNumberRead(&ReadOtherComputersBuildNumber);
  const std::wstring firstPipe = g_szControlPipeName;
  const struct {
    const wchar_t* machine;
    std::uint32_t size;
    HRESULT hr;
    std::size_t connections;  // to this computer's service, afterwards
    bool open;
  } steps[] = {{L"NOSUCHMACHINE", sizeof(L"NOSUCHMACHINE"), E_FAIL, 1, true},
               {name, nameSize, S_OK, 1, true},
               {kOtherComputer, sizeof(kOtherComputer), E_FAIL, 1, false},
               {name, nameSize, S_OK, 2, true}};
  for (const auto& step : steps) {
    SCOPED_TRACE(step.machine);
    EXPECT_EQ(step.hr, SendDataIo(pseudo.get(), TW4_5::ID_INIT_PIPE_COM, step.machine, step.size));
    if (&step == &steps[0]) {
      EXPECT_EQ(firstPipe, g_szControlPipeName);
    }
    EXPECT_EQ(step.open, IsPipeOutOpen());
    EXPECT_EQ(step.connections, service.Connections().size());
  }
  SetRemoteBuildNumberRead(nullptr);
  ASSERT_TRUE(service.WaitForPackets(3, 5000));
  Sleep(100);
  EXPECT_EQ(3u, service.Packets().size()) << "probes that reached the first computer";
  service.Stop();
  RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, versionKey, L"BuildNumber");
}

TEST(DataObject, FinalReleaseTracesTheDestructorFirstAndLetsTheModuleUnload) {
  TraceCapture trace;
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(g_hNoDataObjectsEvent, 0));
  IDataObject* object = nullptr;
  ASSERT_EQ(S_OK, g_ClassFactory.CreateInstance(nullptr, IID_IDataObject, reinterpret_cast<void**>(&object)));
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(g_hNoDataObjectsEvent, 0));
  EXPECT_EQ(0u, object->Release());
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(g_hNoDataObjectsEvent, 0));
  const auto lines = trace.Lines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(L"PmkDataObject::~PmkDataObject\n", lines[lines.size() - 2]);
  EXPECT_EQ(L"PmkDataObject::Release : m_cRef == 0\n", lines.back());
}

// A bare thread queue in the translation thread's place shows the raw message parameters.
TEST(HandleDataIoMsg, PostsTheWorkedFirstParameter) {
  UniqueHandle ready(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  static MSG message;
  DWORD id = 0;
  UniqueHandle thread(CreateThread(
      nullptr, 0,
      [](void* ready) WINAPI -> DWORD {
        PeekMessageW(&message, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
        SetEvent(ready);
        return GetMessageW(&message, nullptr, 0, 0) > 0 ? 0 : 1;
      },
      ready.get(), 0, &id));
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(ready.get(), 5000));
  const SessionId session = BeginSession();
  OpenTranslationQueue(id);
  void* packet = AllocBlock(16);
  HandleDataIoMsg(TW4_5::ID_ANALYZE, packet, L'C', session);
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread.get(), 5000));
  EXPECT_EQ(static_cast<UINT>(WM_COMMAND), message.message);
  EXPECT_EQ(0x43011FA4u, message.wParam);
  EXPECT_EQ(reinterpret_cast<LPARAM>(packet), message.lParam);
  FreeBlock(packet);
}

volatile bool g_exitHandled = false;

TEST(HandleDataIoMsg, ExitHandOffReturnsOnceTheTranslationThreadHasHandledTheExit) {
  TranslationObserver observer;
  observer.hook = [](const Observed& seen) {
    if (seen.command != TW4_5::ID_FENUI_EXIT) return;
    Sleep(200);  // the caller must still be waiting after this
    g_exitHandled = true;
  };
  TraceCapture trace;
  const ULONGLONG start = GetTickCount64();
  HandleDataIoMsg(TW4_5::ID_FENUI_EXIT, nullptr, 0, CurrentSession());
  EXPECT_TRUE(g_exitHandled);
  EXPECT_LT(GetTickCount64() - start, 5000u);
  ASSERT_TRUE(observer.WaitFor(1));
  EXPECT_EQ(TW4_5::ID_FENUI_EXIT, observer.Seen()[0].command);
  EXPECT_EQ(0, observer.Seen()[0].letter);
  EXPECT_TRUE(trace.Contains(L"Calling ID_FENUI_EXIT in HandleDataIoMsg()\n"));
  EXPECT_TRUE(trace.Contains(L"Posting Message ID_FENUI_EXIT(8602) from 4.5 GUI to TL\n"));
  EXPECT_TRUE(trace.Contains(L"Returning from ID_FENUI_EXIT in HandleDataIoMsg()\n"));
}

TEST(HandleDataIoMsg, AFailedPostIsTracedAndItsPacketFreed) {
  TraceCapture trace;
  const LONG64 live = GetBlockCounters().live;
  HandleDataIoMsg(TW4_5::ID_ANALYZE, AllocBlock(40), L'C', CurrentSession());  // no translation thread yet
  EXPECT_EQ(live, GetBlockCounters().live);
  EXPECT_TRUE(trace.Contains(L"PostThreadMessage failed error = 1444 g_dwTLThreadId = 0\n"));
}
