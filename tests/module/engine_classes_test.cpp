// Engine classes: their volatile registry keys, their class objects, and their removal with
// the GUI connections at the end of the translation layer.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "dataio/dataio_packet.h"
#include "module/module.h"
#include "module/registration.h"
#include "pipes/pipe_out.h"
#include "shared/owners.h"
#include "support/module_files.h"
#include "support/recording_data_object.h"
#include "support/trace_capture.h"
#include "translation/comm_init_body.h"
#include "translation/commands.h"
#include "translation/drive_table.h"
#include "translation/engine_classes.h"
#include "translation/translation_message.h"
#include "translation/translation_thread.h"

namespace {

struct Com {
  Com() { CoInitializeEx(nullptr, COINIT_MULTITHREADED); }
  ~Com() { CoUninitialize(); }
};

std::wstring ClassKey(const CLSID& clsid) { return L"CLSID\\" + GuidText(clsid); }

// True when the key is volatile: a lasting key cannot be made below it.
bool IsVolatile(const std::wstring& key) {
  HKEY child = nullptr;
  const LONG result = RegCreateKeyExW(HKEY_CLASSES_ROOT, (key + L"\\Lasting").c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                      nullptr, &child, nullptr);
  if (result == ERROR_SUCCESS) {
    RegCloseKey(child);
    RegDeleteKeyW(HKEY_CLASSES_ROOT, (key + L"\\Lasting").c_str());
  }
  return result == ERROR_CHILD_MUST_BE_VOLATILE;
}

void CreateKey(HKEY root, const std::wstring& path, DWORD options = 0) {
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS,
            RegCreateKeyExW(root, path.c_str(), 0, nullptr, options, KEY_ALL_ACCESS, nullptr, &key, nullptr));
  RegCloseKey(key);
}

}  // namespace

TEST(EngineClasses, RegisterEngineClassWritesTheVolatileTreeFromThePseudoServicePath) {
  PseudoServiceRegistration installed(L"C:\\Program Files\\Cobalin\\cobalin.dll");
  ASSERT_TRUE(installed.ok());
  CLSID engine;
  CoCreateGuid(&engine);
  EXPECT_TRUE(RegisterEngineClass(engine, APPID_Engine));

  const std::wstring key = ClassKey(engine);
  EXPECT_EQ(L"{FE46042C-22D2-4964-A198-D9D9FA11D477}", ReadRegString(HKEY_CLASSES_ROOT, key, L"AppID"));
  EXPECT_EQ(L"C:\\Program Files\\Cobalin\\cobalin.dll",
            ReadRegString(HKEY_CLASSES_ROOT, key + L"\\InProcServer32", nullptr));
  EXPECT_EQ(L"Free", ReadRegString(HKEY_CLASSES_ROOT, key + L"\\InProcServer32", L"ThreadingModel"));
  EXPECT_TRUE(IsVolatile(key));
  EXPECT_TRUE(IsVolatile(key + L"\\InProcServer32"));
  // Text values carry their terminator.
  DWORD bytes = 0;
  EXPECT_EQ(ERROR_SUCCESS, RegGetValueW(HKEY_CLASSES_ROOT, (key + L"\\InProcServer32").c_str(), L"ThreadingModel",
                                        RRF_RT_REG_SZ, nullptr, nullptr, &bytes));
  EXPECT_EQ(10u, bytes);

  // Registered again: the values are written anew and the key kept, with what was below it.
  CreateKey(HKEY_CLASSES_ROOT, key + L"\\Extra", REG_OPTION_VOLATILE);
  EXPECT_TRUE(RegisterEngineClass(engine, CLSID_PseudoService));
  EXPECT_EQ(GuidText(CLSID_PseudoService), ReadRegString(HKEY_CLASSES_ROOT, key, L"AppID"));
  EXPECT_TRUE(RegKeyExists(HKEY_CLASSES_ROOT, key + L"\\Extra"));

  UnregisterEngineClass(engine);
  EXPECT_FALSE(RegKeyExists(HKEY_CLASSES_ROOT, key));
}

TEST(EngineClasses, WithoutThePseudoServiceKeyTheServerPathIsEmpty) {
  ASSERT_FALSE(RegKeyExists(HKEY_CLASSES_ROOT, ClassKey(CLSID_PseudoService)));
  CLSID engine;
  CoCreateGuid(&engine);
  RegisterEngineClass(engine, APPID_Engine);
  EXPECT_EQ(L"", ReadRegString(HKEY_CLASSES_ROOT, ClassKey(engine) + L"\\InProcServer32", nullptr));
  EXPECT_EQ(L"Free", ReadRegString(HKEY_CLASSES_ROOT, ClassKey(engine) + L"\\InProcServer32", L"ThreadingModel"));
  UnregisterEngineClass(engine);
}

TEST(EngineClasses, DeleteRegKeyRemovesNestedTreesAndReportsAMissingKey) {
  const std::wstring root = L"Software\\CobalinDeleteTest";
  CreateKey(HKEY_CURRENT_USER, root + L"\\a\\b\\c");
  CreateKey(HKEY_CURRENT_USER, root + L"\\a\\d");
  CreateKey(HKEY_CURRENT_USER, root + L"\\e");
  EXPECT_EQ(ERROR_SUCCESS, DeleteRegKey(HKEY_CURRENT_USER, root.c_str()));
  EXPECT_FALSE(RegKeyExists(HKEY_CURRENT_USER, root));

  TraceCapture trace;
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, DeleteRegKey(HKEY_CURRENT_USER, root.c_str()));
  EXPECT_TRUE(trace.Contains(L"DeleteRegKey - RegOpenKey"));
}

TEST(EngineClasses, SetPseudoEngineDriveGivesTheDriveANewServedClass) {
  Com com;
  RecordingClassObject gui;
  IDataObject* slot = nullptr;
  ASSERT_EQ(S_OK, CoCreateInstance(gui.Clsid(), nullptr, CLSCTX_INPROC_SERVER, IID_IDataObject,
                                   reinterpret_cast<void**>(&slot)));
  DriveEntry& c = g_DriveTable[2];
  c.pDataIoClient = slot;
  TraceCapture trace;

  SetPseudoEngineDrive(L'c');
  EXPECT_EQ(L'c', GetPseudoEngineDrive());
  EXPECT_TRUE(trace.Contains(L"Set  GetPseudoEngineDrive = c\n"));
  EXPECT_FALSE(IsEqualCLSID(CLSID_NULL, c.clsidEngine));
  EXPECT_EQ(GuidText(c.clsidEngine), c.szEngineClsid);
  EXPECT_EQ(L"Free", ReadRegString(HKEY_CLASSES_ROOT, ClassKey(c.clsidEngine) + L"\\InProcServer32", L"ThreadingModel"));

  // The GUI is told the class in a comm-init body...
  const auto packets = gui.Object().Packets();
  ASSERT_EQ(1u, packets.size());
  ASSERT_EQ(kDataIoHeaderSize + 726 + kDataIoTrailerSize, packets[0].size());
  DataIoHeader header{};
  std::memcpy(&header, packets[0].data(), sizeof(header));
  EXPECT_EQ(TW4_5::ID_INIT_ENGINE_COMM, header.Command);
  EXPECT_EQ(726u, header.BodyLength);
  const BYTE* body = packets[0].data() + kDataIoHeaderSize;
  EXPECT_EQ(std::vector<BYTE>(102, 0), std::vector<BYTE>(body, body + 102));
  const std::wstring text = GuidText(c.clsidEngine);
  EXPECT_EQ(0, std::memcmp(text.c_str(), body + 102, (text.size() + 1) * sizeof(wchar_t)));

  // ...and an object created through that class carries the letter as it was set.
  IDataObject* engine = nullptr;
  ASSERT_EQ(S_OK, CoCreateInstance(c.clsidEngine, nullptr, CLSCTX_INPROC_SERVER, IID_IDataObject,
                                   reinterpret_cast<void**>(&engine)));
  EXPECT_TRUE(trace.Contains(L"PmkDataObject::PmkDataObject for drive = c\n"));
  engine->Release();

  CloseCOMPtrs();
  EXPECT_EQ(1, gui.Object().RefCount());
}

TEST(EngineClasses, ALetterOutsideAToZTouchesNothing) {
  Com com;
  std::vector<BYTE> before(sizeof(g_DriveTable));
  std::memcpy(before.data(), g_DriveTable, sizeof(g_DriveTable));
  SetPseudoEngineDriveLetter(L'D');
  for (WCHAR letter : {WCHAR(0), WCHAR(L'@'), WCHAR(L'['), WCHAR(L'1'), WCHAR(0x0141), WCHAR(0xFF43)}) {
    SetPseudoEngineDrive(letter);
  }
  EXPECT_EQ(0, std::memcmp(before.data(), g_DriveTable, sizeof(g_DriveTable)));
  EXPECT_EQ(L'D', GetPseudoEngineDrive());
}

TEST(EngineClasses, CloseCOMPtrsReleasesEveryConnectionAndRemovesExactlyTheNamedClasses) {
  Com com;
  RecordingClassObject gui;
  auto connect = [&gui]() {
    IDataObject* object = nullptr;
    CoCreateInstance(gui.Clsid(), nullptr, CLSCTX_INPROC_SERVER, IID_IDataObject, reinterpret_cast<void**>(&object));
    return object;
  };
  pdata4_5GUI = connect();
  g_DriveTable[2].pDataIoClient = connect();
  g_DriveTable[25].pDataIoClient = connect();
  EXPECT_EQ(4, gui.Object().RefCount());

  SetPseudoEngineDrive(L'C');
  const CLSID earlier = g_DriveTable[2].clsidEngine;
  SetPseudoEngineDrive(L'C');  // a new class; the earlier one is no longer named
  SetPseudoEngineDrive(L'e');
  const CLSID c = g_DriveTable[2].clsidEngine;
  const CLSID e = g_DriveTable[4].clsidEngine;
  EXPECT_FALSE(IsEqualCLSID(earlier, c));

  TraceCapture trace;
  CloseCOMPtrs();
  EXPECT_TRUE(trace.Contains(L"CloseCOMPtrs\n"));
  EXPECT_TRUE(trace.Contains(L"ExitDataIoClient on pdata4_5GUI\n"));
  EXPECT_EQ(nullptr, pdata4_5GUI);
  for (const DriveEntry& entry : g_DriveTable) {
    EXPECT_EQ(nullptr, entry.pDataIoClient);
    EXPECT_EQ(L'\0', entry.szEngineClsid[0]);
  }
  EXPECT_EQ(1, gui.Object().RefCount());
  EXPECT_FALSE(RegKeyExists(HKEY_CLASSES_ROOT, ClassKey(c)));
  EXPECT_FALSE(RegKeyExists(HKEY_CLASSES_ROOT, ClassKey(e)));
  EXPECT_TRUE(RegKeyExists(HKEY_CLASSES_ROOT, ClassKey(earlier)));
  UnregisterEngineClass(earlier);

  // With nothing left, only its trace line.
  trace.Clear();
  CloseCOMPtrs();
  EXPECT_EQ(2u, trace.Lines().size());
}

// At GUI exit, on the translation thread: the pipe thread is asked to leave (not killed), the
// sending pipe closed and every connection released.
TEST(EngineClasses, ExitTranslationLayerEndsThePipeThreadCooperatively) {
  static HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  SetTranslateCommandHandler([](std::uint16_t command, void*, WCHAR, std::uint8_t) {
    if (command == TW4_5::ID_FENUI_EXIT) {
      ExitTranslationLayer();
      SetEvent(done);
    }
  });
  StartTranslationLayer();
  ASSERT_NE(nullptr, g_hPipeThread);
  HANDLE pipeThread = nullptr;
  ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), g_hPipeThread, GetCurrentProcess(), &pipeThread, 0, FALSE,
                              DUPLICATE_SAME_ACCESS));
  UniqueHandle pipeThreadOwner(pipeThread);
  Sleep(100);  // let the pipe thread reach its wait for the service
  TraceCapture trace;
  ASSERT_TRUE(PostTranslationMessage(MakeTranslationParam(TW4_5::ID_FENUI_EXIT, kFromGui, 0), nullptr));
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(done, 10000));

  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(pipeThread, 0));
  DWORD code = 1;
  GetExitCodeThread(pipeThread, &code);
  EXPECT_EQ(0u, code);
  EXPECT_EQ(nullptr, g_hPipeThread);
  EXPECT_FALSE(trace.ContainsPart(L"TerminateThread"));
  EXPECT_FALSE(IsPipeOutOpen());
  EXPECT_TRUE(trace.Contains(L"ExitTranslationLayer"));
  EXPECT_TRUE(trace.Contains(L"CloseCOMPtrs\n"));
  StopTranslationLayer();
  SetTranslateCommandHandler(nullptr);
}
