// The module's DataIo connections to the GUI's data objects, played by a recording object
// registered with COM.

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "dataio/dataio_client.h"
#include "dataio/dataio_packet.h"
#include "shared/message_box.h"
#include "shared/owners.h"
#include "support/module_files.h"
#include "support/recording_data_object.h"
#include "support/trace_capture.h"
#include "translation/commands.h"
#include "translation/translation_message.h"
#include "translation_observer.h"

namespace {

struct Com {
  Com() { CoInitializeEx(nullptr, COINIT_MULTITHREADED); }
  ~Com() { CoUninitialize(); }
};

struct Box {
  std::wstring text, caption;
  UINT type;
};
struct BoxLog {
  std::vector<Box> boxes;
  HANDLE shown = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE close = CreateEventW(nullptr, TRUE, TRUE, nullptr);  // set: boxes close at once
  ~BoxLog() {
    SetMessageBoxHook(nullptr, nullptr);
    CloseHandle(shown);
    CloseHandle(close);
  }
  void Install() { SetMessageBoxHook(&BoxLog::Hook, this); }
  static int Hook(const wchar_t* text, const wchar_t* caption, UINT type, void* context) {
    auto* self = static_cast<BoxLog*>(context);
    self->boxes.push_back(Box{text, caption, type});
    SetEvent(self->shown);
    WaitForSingleObject(self->close, 10000);
    return IDOK;
  }
};

DataIoHeader HeaderOf(const std::vector<BYTE>& packet) {
  DataIoHeader header{};
  std::memcpy(&header, packet.data(), sizeof(header));
  return header;
}

}  // namespace

TEST(DataIoClient, PacketsReachTheGuiObjectWithTheirHeaderAndZeroTail) {
  Com com;
  RecordingClassObject gui;
  IDataObject* slot = nullptr;
  ASSERT_TRUE(InitializeDataIoClient(gui.Clsid(), nullptr, &slot));
  ASSERT_NE(nullptr, slot);

  const BYTE body[7] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77};
  EXPECT_TRUE(DataIoClientSetData(TW4_5::ID_STATUS, body, sizeof(body), slot));
  EXPECT_TRUE(DataIoClientSetData(TW4_5::ID_TERMINATING, nullptr, 0, slot));
  const auto packets = gui.Object().Packets();
  ASSERT_EQ(2u, packets.size());

  ASSERT_EQ(sizeof(body) + 20, packets[0].size());
  const DataIoHeader h = HeaderOf(packets[0]);
  EXPECT_EQ(0x504D, h.Signature);
  EXPECT_EQ(103, h.Format);
  EXPECT_EQ(1, h.Reserved1);
  EXPECT_EQ(1, h.Reserved2);
  EXPECT_EQ(sizeof(body), h.BodyLength);
  EXPECT_EQ(TW4_5::ID_STATUS, h.Command);
  EXPECT_EQ(0, std::memcmp(body, packets[0].data() + 16, sizeof(body)));
  EXPECT_EQ(std::vector<BYTE>(4, 0), std::vector<BYTE>(packets[0].end() - 4, packets[0].end()));

  // The 20-byte packet of an empty body, byte for byte.
  const std::vector<BYTE> empty = {0x4D, 0x50, 103, 0, 1, 0, 1, 0, 0, 0, 0, 0, 0x0C, 0x20, 0, 0, 0, 0, 0, 0};  // 8204
  EXPECT_EQ(empty, packets[1]);

  EXPECT_TRUE(ExitDataIoClient(&slot));
  EXPECT_EQ(nullptr, slot);
  EXPECT_EQ(1, gui.Object().RefCount());
  EXPECT_TRUE(ExitDataIoClient(&slot));  // an empty slot stays empty
}

TEST(DataIoClient, AFilledSlotRefusesASecondConnectionWithoutAMessageBox) {
  Com com;
  BoxLog boxes;
  boxes.Install();
  RecordingClassObject gui;
  IDataObject* slot = nullptr;
  ASSERT_TRUE(InitializeDataIoClient(gui.Clsid(), L"", &slot));
  IDataObject* const first = slot;
  EXPECT_FALSE(InitializeDataIoClient(gui.Clsid(), nullptr, &slot));
  EXPECT_EQ(first, slot);
  EXPECT_EQ(1, gui.Creations());
  EXPECT_TRUE(boxes.boxes.empty());
  ExitDataIoClient(&slot);
}

TEST(DataIoClient, AFailedActivationShowsItsBoxAndTracesTheSameText) {
  Com com;
  BoxLog boxes;
  boxes.Install();
  TraceCapture trace;
  CLSID nobody;
  CoCreateGuid(&nobody);
  IDataObject* slot = nullptr;
  EXPECT_FALSE(InitializeDataIoClient(nobody, nullptr, &slot));
  EXPECT_EQ(nullptr, slot);
  ASSERT_EQ(1u, boxes.boxes.size());
  const std::wstring text = L"hr = 80040154,rclsid = " + GuidText(nobody);
  EXPECT_EQ(text, boxes.boxes[0].text);
  EXPECT_EQ(L"CoCreateInstanceEx", boxes.boxes[0].caption);
  EXPECT_EQ(static_cast<UINT>(MB_OK), boxes.boxes[0].type);
  EXPECT_TRUE(trace.Contains(text));
}

TEST(DataIoClient, NoObjectSendsNothingAndARefusedBlockIsFreed) {
  Com com;
  EXPECT_FALSE(DataIoClientSetData(TW4_5::ID_STATUS, nullptr, 0, nullptr));

  RecordingClassObject gui;
  IDataObject* slot = nullptr;
  ASSERT_TRUE(InitializeDataIoClient(gui.Clsid(), nullptr, &slot));
  gui.Object().AnswerSetData(E_OUTOFMEMORY);
  TraceCapture trace;
  EXPECT_FALSE(DataIoClientSetData(TW4_5::ID_STATUS, "x", 1, slot));
  EXPECT_TRUE(trace.Contains(L"DataIoClientSetData falied. hr = 8007000E"));
  // The receiver did not take the block: the sender freed it.
  SetLastError(0xdeadbeef);
  EXPECT_EQ(0u, GlobalSize(gui.Object().LastBlock()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
  ExitDataIoClient(&slot);
}

TEST(DataIoClient, InitializeDataIoOffersTheModuleClassObject) {
  Com com;
  TraceCapture trace;
  CLSID engine;
  CoCreateGuid(&engine);
  DWORD cookie = 0;
  ASSERT_TRUE(InitializeDataIo(engine, REGCLS_MULTIPLEUSE, &cookie));
  EXPECT_NE(0u, cookie);
  EXPECT_TRUE(trace.Contains(L"InitializeDataIo::CoRegisterClassObject"));
  ComPtr<IDataObject> object;
  ASSERT_EQ(S_OK, CoCreateInstance(engine, nullptr, CLSCTX_INPROC_SERVER, IID_IDataObject,
                                   reinterpret_cast<void**>(object.put())));
  FORMATETC format{CF_TEXT, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
  EXPECT_EQ(S_OK, object->QueryGetData(&format));
  object.reset();
  CoRevokeClassObject(cookie);
}

TEST(DataIoClient, InitializeDataIoOutsideAnyApartmentFailsWithItsTrace) {
  TraceCapture trace;
  CLSID engine;
  CoCreateGuid(&engine);
  DWORD cookie = 0x1234;
  EXPECT_FALSE(InitializeDataIo(engine, REGCLS_MULTIPLEUSE, &cookie));
  EXPECT_EQ(0x1234u, cookie);
  EXPECT_TRUE(trace.Contains(L"InitializeDataIo::CoRegisterClassObject"));
  EXPECT_TRUE(trace.Contains(L"CoRegisterClassObject failed, hr = -2147221008\n"));  // CO_E_NOTINITIALIZED
}

// A box shown on the translation thread holds translation, but nothing posted meanwhile is
// lost: every command is handled afterwards, in the order posted.
TEST(DataIoClient, MessagesPostedWhileABoxHoldsTheTranslationThreadAreHandledAfterwards) {
  BoxLog log;
  ResetEvent(log.close);
  log.Install();
  TranslationObserver observer;
  observer.SetHook([](const Observed& seen) {
    if (seen.command != TW4_5::ID_INIT_ENGINE_COMM) return;
    CLSID nobody;
    CoCreateGuid(&nobody);
    IDataObject* slot = nullptr;
    InitializeDataIoClient(nobody, nullptr, &slot);  // fails: the box
  });
  ASSERT_TRUE(PostTranslationMessage(MakeTranslationParam(TW4_5::ID_INIT_ENGINE_COMM, kFromGui, 0), nullptr));
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(log.shown, 5000));

  constexpr int kPosted = 50;
  for (int i = 0; i < kPosted; ++i) {
    auto* block = static_cast<DataIoHeader*>(AllocBlock(sizeof(DataIoHeader) + sizeof(int)));
    *block = MakeDataIoHeader(TW4_5::ID_ANALYZE, sizeof(int));
    std::memcpy(DataIoBody(block), &i, sizeof(int));
    ASSERT_TRUE(PostTranslationMessage(MakeTranslationParam(TW4_5::ID_ANALYZE, kFromGui, L'C'), block));
  }
  Sleep(100);  // the thread stays held: nothing is handled while the box is up
  EXPECT_EQ(0u, observer.Seen().size());
  SetEvent(log.close);

  ASSERT_TRUE(observer.WaitFor(kPosted + 1));
  const auto seen = observer.Seen();
  EXPECT_EQ(TW4_5::ID_INIT_ENGINE_COMM, seen[0].command);
  for (int i = 0; i < kPosted; ++i) {
    int n = -1;
    std::memcpy(&n, seen[i + 1].packet.data() + kDataIoHeaderSize, sizeof(int));
    EXPECT_EQ(i, n);
  }
}
