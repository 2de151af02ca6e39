// PmkDataObject's IDataObject rules and the hand-off of received commands to the translation
// thread.

#include <gtest/gtest.h>

#include "dataio/data_object.h"
#include "module/class_factory.h"
#include "module/module.h"
#include "shared/block.h"
#include "shared/owners.h"
#include "support/trace_capture.h"
#include "translation/commands.h"
#include "translation/translation_thread.h"
#include "translation_observer.h"

namespace {

ComPtr<IDataObject> NewDataObject() {
  ComPtr<IDataObject> object;
  EXPECT_EQ(S_OK, g_ClassFactory.CreateInstance(nullptr, IID_IDataObject, reinterpret_cast<void**>(object.put())));
  return object;
}

FORMATETC Format(CLIPFORMAT cf, DWORD aspect, DWORD tymed) { return FORMATETC{cf, nullptr, aspect, -1, tymed}; }

// Counts the releases ReleaseStgMedium makes through pUnkForRelease.
class ReleaseCounter final : public IUnknown {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** ppv) override {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(++releases); }
  int releases = 0;
};

HRESULT Set(IDataObject* object, HGLOBAL block, BOOL release = TRUE, IUnknown* owner = nullptr) {
  FORMATETC format = Format(CF_TEXT, DVASPECT_CONTENT, TYMED_HGLOBAL);
  STGMEDIUM medium{};
  medium.tymed = TYMED_HGLOBAL;
  medium.hGlobal = block;
  medium.pUnkForRelease = owner;
  return object->SetData(&format, &medium, release);
}

struct Com {
  Com() { CoInitializeEx(nullptr, COINIT_MULTITHREADED); }
  ~Com() { CoUninitialize(); }
};

}  // namespace

TEST(DataObject, QueryGetDataAndGetDataAnswerByTheRuleTable) {
  auto object = NewDataObject();
  TraceCapture trace;
  FORMATETC f = Format(CF_TEXT, DVASPECT_CONTENT, TYMED_HGLOBAL | TYMED_FILE);
  EXPECT_EQ(S_OK, object->QueryGetData(&f));
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

  EXPECT_EQ(E_NOTIMPL, object->GetDataHere(&f, &medium));
  FORMATETC out{};
  EXPECT_EQ(DATA_S_SAMEFORMATETC, object->GetCanonicalFormatEtc(&f, &out));
  IEnumFORMATETC* enumerator = reinterpret_cast<IEnumFORMATETC*>(1);
  EXPECT_EQ(E_NOTIMPL, object->EnumFormatEtc(DATADIR_GET, &enumerator));
  DWORD connection = 0;
  EXPECT_EQ(OLE_E_ADVISENOTSUPPORTED, object->DAdvise(&f, 0, nullptr, &connection));
  EXPECT_EQ(OLE_E_ADVISENOTSUPPORTED, object->DUnadvise(1));
  EXPECT_EQ(OLE_E_ADVISENOTSUPPORTED, object->EnumDAdvise(nullptr));

  IUnknown* unknown = nullptr;
  EXPECT_EQ(E_NOINTERFACE, object->QueryInterface(IID_IClassFactory, reinterpret_cast<void**>(&unknown)));
  EXPECT_EQ(nullptr, unknown);
  EXPECT_EQ(E_INVALIDARG, object->QueryInterface(IID_IUnknown, nullptr));
  EXPECT_EQ(2u, object->AddRef());
  EXPECT_EQ(1u, object->Release());
}

TEST(DataObject, SetDataRefusesWhatGetDataWouldAcceptAndLeavesTheMediumWithTheCaller) {
  auto object = NewDataObject();
  UniqueHGlobal block(MakeGuiBlock(TW4_5::ID_ANALYZE, nullptr, 0));
  FORMATETC f = Format(CF_TEXT, DVASPECT_CONTENT, TYMED_HGLOBAL | TYMED_FILE);
  STGMEDIUM medium{};
  medium.tymed = TYMED_HGLOBAL;
  medium.hGlobal = block.get();
  EXPECT_EQ(S_OK, object->QueryGetData(&f));
  EXPECT_EQ(E_FAIL, object->SetData(&f, &medium, TRUE));  // tymed 3
  f = Format(CF_BITMAP, DVASPECT_CONTENT, TYMED_HGLOBAL);
  EXPECT_EQ(E_FAIL, object->SetData(&f, &medium, TRUE));
  f = Format(CF_TEXT, DVASPECT_CONTENT, TYMED_HGLOBAL);
  medium.hGlobal = nullptr;
  EXPECT_EQ(E_FAIL, object->SetData(&f, &medium, TRUE));
  EXPECT_EQ(nullptr, GlobalLock(nullptr));
  // The block of the refused calls is still the caller's, whole.
  EXPECT_EQ(kDataIoHeaderSize + kDataIoTrailerSize, GlobalSize(block.get()));
}

TEST(DataObject, CommandsReachTheTranslationThreadStampedWithTheDriveLetterOfCreation) {
  Com com;
  TranslationObserver observer;
  SetPseudoEngineDriveLetter(L'd');
  auto engine = NewDataObject();
  SetPseudoEngineDriveLetter(L'E');
  auto later = NewDataObject();

  const BYTE body[6] = {1, 2, 3, 4, 5, 6};
  ReleaseCounter owner;
  EXPECT_EQ(S_OK, Set(engine.get(), MakeGuiBlock(TW4_5::ID_DEFRAG, body, sizeof(body)), TRUE, &owner));
  EXPECT_EQ(1, owner.releases);  // released by the receiver
  // Malformed or truncated blocks are answered S_OK, released, and go nowhere.
  UniqueHGlobal dropped(MakeGuiBlock(TW4_5::ID_STOP, nullptr, 0, 2));
  EXPECT_EQ(S_OK, Set(engine.get(), dropped.get(), TRUE, &owner));
  UniqueHGlobal truncated(MakeGuiBlock(TW4_5::ID_STOP, body, sizeof(body), 1, sizeof(body) + 5));
  EXPECT_EQ(S_OK, Set(engine.get(), truncated.get(), TRUE, &owner));
  UniqueHGlobal tooShort(GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, 12));
  EXPECT_EQ(S_OK, Set(engine.get(), tooShort.get(), TRUE, &owner));
  EXPECT_EQ(4, owner.releases);
  // Reserved1 is not looked at; a command without a body travels without a block.
  HGLOBAL odd = MakeGuiBlock(TW4_5::ID_PAUSE, nullptr, 0);
  static_cast<DataIoHeader*>(GlobalLock(odd))->Reserved1 = 0x7777;
  GlobalUnlock(odd);
  EXPECT_EQ(S_OK, Set(later.get(), odd));
  auto pseudo = ComPtr<IDataObject>();
  SetPseudoEngineDriveLetter(0);
  pseudo = NewDataObject();
  EXPECT_EQ(S_OK, Set(pseudo.get(), MakeGuiBlock(TW4_5::ID_CONTINUE, nullptr, 0)));

  ASSERT_TRUE(observer.WaitFor(3));
  const auto seen = observer.Seen();
  ASSERT_EQ(3u, seen.size());
  EXPECT_EQ(TW4_5::ID_DEFRAG, seen[0].command);
  EXPECT_EQ(L'd', seen[0].letter);
  EXPECT_EQ(1, seen[0].direction);
  ASSERT_TRUE(seen[0].hadBlock);
  ASSERT_EQ(kDataIoHeaderSize + sizeof(body), seen[0].packet.size());
  EXPECT_EQ(0, memcmp(body, seen[0].packet.data() + kDataIoHeaderSize, sizeof(body)));
  EXPECT_EQ(TW4_5::ID_PAUSE, seen[1].command);
  EXPECT_EQ(L'E', seen[1].letter);
  EXPECT_FALSE(seen[1].hadBlock);
  EXPECT_EQ(TW4_5::ID_CONTINUE, seen[2].command);
  EXPECT_EQ(0, seen[2].letter);
}

TEST(DataObject, InitPipeComWithoutAMachineNameFailsAtOnce) {
  TranslationObserver observer;
  auto object = NewDataObject();
  EXPECT_EQ(E_FAIL, Set(object.get(), MakeGuiBlock(TW4_5::ID_INIT_PIPE_COM, nullptr, 0)));
  const wchar_t unterminated[3] = {L'P', L'C', L'1'};
  EXPECT_EQ(E_FAIL, Set(object.get(), MakeGuiBlock(TW4_5::ID_INIT_PIPE_COM, unterminated, sizeof(unterminated))));
  // Neither went to the translation thread; the next command is the first it sees.
  EXPECT_EQ(S_OK, Set(object.get(), MakeGuiBlock(TW4_5::ID_ABORT, nullptr, 0)));
  ASSERT_TRUE(observer.WaitFor(1));
  EXPECT_EQ(TW4_5::ID_ABORT, observer.Seen().at(0).command);
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

// A thread with a message queue standing in for the translation thread: the raw parameters.
struct FakeTranslationThread {
  static DWORD WINAPI Run(void* p) {
    auto* self = static_cast<FakeTranslationThread*>(p);
    MSG msg;
    PeekMessageW(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
    SetEvent(self->ready.get());
    if (GetMessageW(&msg, nullptr, 0, 0) > 0) {
      self->message = msg;
      if (self->setExitEventAfterMs != 0) {
        Sleep(self->setExitEventAfterMs);
        self->exitEventSetAt = GetTickCount64();
        SetEvent(g_hExitEvent);
      }
    }
    return 0;
  }
  explicit FakeTranslationThread(DWORD exitAfterMs = 0) : setExitEventAfterMs(exitAfterMs) {
    thread.reset(CreateThread(nullptr, 0, Run, this, 0, &g_dwTLThreadId));
    WaitForSingleObject(ready.get(), 5000);
  }
  ~FakeTranslationThread() {
    PostThreadMessageW(g_dwTLThreadId, WM_QUIT, 0, 0);
    WaitForSingleObject(thread.get(), 5000);
    g_dwTLThreadId = 0;
  }
  UniqueHandle ready{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  UniqueHandle thread;
  DWORD setExitEventAfterMs;
  MSG message{};
  volatile ULONGLONG exitEventSetAt = 0;
};

TEST(HandleDataIoMsg, PostsTheWorkedFirstParameters) {
  {
    FakeTranslationThread fake;
    void* packet = AllocBlock(16);
    HandleDataIoMsg(TW4_5::ID_ANALYZE, packet, L'C');
    WaitForSingleObject(fake.thread.get(), 5000);
    EXPECT_EQ(static_cast<UINT>(WM_COMMAND), fake.message.message);
    EXPECT_EQ(0x43011FA4u, fake.message.wParam);
    EXPECT_EQ(reinterpret_cast<LPARAM>(packet), fake.message.lParam);
    FreeBlock(packet);
  }
  {
    FakeTranslationThread fake(300);
    TraceCapture trace;
    const ULONGLONG start = GetTickCount64();
    HandleDataIoMsg(TW4_5::ID_FENUI_EXIT, nullptr, 0);
    const ULONGLONG returned = GetTickCount64();
    EXPECT_EQ(0x0001219Au, fake.message.wParam);
    EXPECT_EQ(0, fake.message.lParam);
    EXPECT_NE(0u, fake.exitEventSetAt);  // held until the event was set...
    EXPECT_LT(returned - start, 5000u);  // ...and not a moment of the 30 s longer than needed
    EXPECT_TRUE(trace.Contains(L"Calling ID_FENUI_EXIT in HandleDataIoMsg()\n"));
    EXPECT_TRUE(trace.Contains(L"Posting Message ID_FENUI_EXIT(8602) from 4.5 GUI to TL\n"));
    EXPECT_EQ(L"Returning from ID_FENUI_EXIT in HandleDataIoMsg()\n", trace.Lines().back());
  }
}

volatile bool g_exitHandled = false;

TEST(HandleDataIoMsg, ExitHandOffReturnsWhenTheTranslationThreadSetsTheEvent) {
  TranslationObserver observer;
  observer.SetHook([](const Observed& seen) {
    if (seen.command != TW4_5::ID_FENUI_EXIT) return;
    Sleep(200);  // the caller must still be waiting after this
    g_exitHandled = true;
    SetEvent(g_hExitEvent);
  });
  SetEvent(g_hExitEvent);  // a stale signal is reset first, not taken for the answer
  const ULONGLONG start = GetTickCount64();
  HandleDataIoMsg(TW4_5::ID_FENUI_EXIT, nullptr, 0);
  EXPECT_TRUE(g_exitHandled);
  EXPECT_LT(GetTickCount64() - start, 5000u);
  ASSERT_TRUE(observer.WaitFor(1));
  EXPECT_EQ(TW4_5::ID_FENUI_EXIT, observer.Seen()[0].command);
  EXPECT_EQ(0, observer.Seen()[0].letter);
}

TEST(HandleDataIoMsg, AFailedPostIsTracedAndItsPacketFreed) {
  ASSERT_EQ(0u, g_dwTLThreadId);
  TraceCapture trace;
  const LONG64 live = GetBlockCounters().live;
  HandleDataIoMsg(TW4_5::ID_ANALYZE, AllocBlock(40), L'C');
  EXPECT_EQ(live, GetBlockCounters().live);
  EXPECT_TRUE(trace.ContainsPart(L"PostThreadMessage failed error = "));
  EXPECT_TRUE(trace.ContainsPart(L" g_dwTLThreadId = 0\n"));
}
