// The module's DataIo connections to the GUI's data objects, played by a recording object
// registered with COM.

#include <gtest/gtest.h>

#include <string>

#include "dataio/dataio_client.h"
#include "shared/message_box.h"
#include "support/module_files.h"
#include "support/recording_data_object.h"
#include "support/trace_capture.h"
#include "handoff/commands.h"

namespace {

struct Com {
  Com() { CoInitializeEx(nullptr, COINIT_MULTITHREADED); }
  ~Com() { CoUninitialize(); }
};

// Message boxes as the user would see them.
struct BoxLog {
  std::vector<std::wstring> texts, captions;
  std::vector<UINT> types;
  BoxLog() { SetMessageBoxHook(&Hook, this); }
  ~BoxLog() { SetMessageBoxHook(nullptr, nullptr); }
  static int Hook(const wchar_t* text, const wchar_t* caption, UINT type, void* context) {
    auto* self = static_cast<BoxLog*>(context);
    self->texts.push_back(text);
    self->captions.push_back(caption);
    self->types.push_back(type);
    return IDOK;
  }
};

IDataObject* FailToConnect() {
  CLSID nobody;
  CoCreateGuid(&nobody);
  IDataObject* slot = nullptr;
  EXPECT_FALSE(InitializeDataIoClient(nobody, nullptr, &slot));
  EXPECT_EQ(nullptr, slot);
  return slot;
}

}  // namespace

TEST(DataIoClient, PacketsReachTheGuiObjectWithTheirHeaderAndZeroTail) {
  Com com;
  RecordingClassObject gui;
  IDataObject* slot = nullptr;
  ASSERT_TRUE(InitializeDataIoClient(gui.clsid, nullptr, &slot));
  const BYTE body[7] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77};
  EXPECT_TRUE(DataIoClientSetData(TW4_5::ID_STATUS, body, sizeof(body), slot));
  EXPECT_TRUE(DataIoClientSetData(TW4_5::ID_TERMINATING, nullptr, 0, slot));
  const auto& packets = gui.object.packets;
  ASSERT_EQ(2u, packets.size());
  // Header (signature, format, 1, 1, body length, command), body, four zero bytes.
  const std::vector<BYTE> first = {0x4D, 0x50, 103, 0, 1, 0, 1, 0, 7, 0, 0, 0, 0x0B, 0x20, 0, 0,  // 8203
                                   0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0, 0, 0, 0};
  EXPECT_EQ(first, packets[0]);
  const std::vector<BYTE> empty = {0x4D, 0x50, 103, 0, 1, 0, 1, 0, 0, 0, 0, 0, 0x0C, 0x20, 0, 0, 0, 0, 0, 0};  // 8204
  EXPECT_EQ(empty, packets[1]);

  // A filled slot keeps its object: no second activation, no message box.
  BoxLog boxes;
  IDataObject* const connected = slot;
  EXPECT_FALSE(InitializeDataIoClient(gui.clsid, nullptr, &slot));
  EXPECT_EQ(connected, slot);
  EXPECT_EQ(1, gui.creations);
  EXPECT_TRUE(boxes.texts.empty());

  EXPECT_TRUE(ExitDataIoClient(&slot));
  EXPECT_EQ(nullptr, slot);
  EXPECT_EQ(1, gui.object.refs);
}

TEST(DataIoClient, AFailedActivationShowsItsBoxAndTracesTheSameText) {
  Com com;
  BoxLog boxes;
  TraceCapture trace;
  FailToConnect();
  ASSERT_EQ(1u, boxes.texts.size());
  EXPECT_EQ(0u, boxes.texts[0].find(L"hr = 80040154,rclsid = {"));
  EXPECT_EQ(61u, boxes.texts[0].size());
  EXPECT_EQ(L"CoCreateInstanceEx", boxes.captions[0]);
  EXPECT_EQ(static_cast<UINT>(MB_OK), boxes.types[0]);
  EXPECT_TRUE(trace.Contains(boxes.texts[0]));
}

TEST(DataIoClient, ASendWithoutObjectOrRefusedByItLeavesNoBlock) {
  Com com;
  EXPECT_FALSE(DataIoClientSetData(TW4_5::ID_STATUS, nullptr, 0, nullptr));
  RecordingClassObject gui;
  gui.object.answer = E_OUTOFMEMORY;
  TraceCapture trace;
  EXPECT_FALSE(DataIoClientSetData(TW4_5::ID_STATUS, "x", 1, &gui.object));
  EXPECT_TRUE(trace.Contains(L"DataIoClientSetData falied. hr = 8007000E"));
  // The receiver did not take the block, so the sender freed it.
  SetLastError(0xdeadbeef);
  EXPECT_EQ(0u, GlobalSize(gui.object.lastBlock));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
}

TEST(DataIoClient, InitializeDataIoOffersTheModuleClassObject) {
  CLSID engine;
  CoCreateGuid(&engine);
  TraceCapture trace;
  EXPECT_FALSE(InitializeDataIo(engine, REGCLS_MULTIPLEUSE, nullptr));  // no apartment yet
  EXPECT_TRUE(trace.Contains(L"CoRegisterClassObject failed, hr = -2147221008\n"));  // CO_E_NOTINITIALIZED

  Com com;
  DWORD cookie = 0;
  ASSERT_TRUE(InitializeDataIo(engine, REGCLS_MULTIPLEUSE, &cookie));
  EXPECT_NE(0u, cookie);
  EXPECT_EQ(2, trace.Count(L"InitializeDataIo::CoRegisterClassObject"));
  IDataObject* object = nullptr;
  ASSERT_EQ(S_OK, CoCreateInstance(engine, nullptr, CLSCTX_INPROC_SERVER, IID_IDataObject,
                                   reinterpret_cast<void**>(&object)));
  EXPECT_TRUE(trace.Contains(L"PmkDataObject::PmkDataObject for drive = "));
  EXPECT_EQ(0u, object->Release());
  CoRevokeClassObject(cookie);
}
