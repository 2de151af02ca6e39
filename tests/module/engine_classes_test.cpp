// Engine classes: their volatile registry keys, their class objects, and their removal with
// the GUI connections at the end of the translation layer.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "dataio/class_factory.h"
#include "dataio/data_object.h"
#include "dataio/dataio_packet.h"
#include "handoff/commands.h"
#include "handoff/translation_message.h"
#include "pipes/pipe_out.h"
#include "shared/module_identity.h"
#include "shared/owners.h"
#include "support/module_files.h"
#include "support/recording_data_object.h"
#include "support/trace_capture.h"
#include "translation/drive_table.h"
#include "translation/engine_class_keys.h"
#include "translation/engine_classes.h"
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
  if (result == ERROR_SUCCESS) RegCloseKey(child);
  return result == ERROR_CHILD_MUST_BE_VOLATILE;
}

}  // namespace

TEST(EngineClasses, RegisterEngineClassWritesTheVolatileTreeFromThePseudoServicePath) {
  CLSID engine;
  CoCreateGuid(&engine);
  const std::wstring server = ClassKey(engine) + L"\\InProcServer32";
  RegisterEngineClass(engine, APPID_Engine);  // no pseudo-service key: an empty path
  // Each text is read as stored and must end with its terminator. The registry itself adds a
  // terminator left out of the count when the unit after the text is zero: only the empty
  // text, stored in 0 bytes then, shows a writer that does not count it.
  EXPECT_EQ(L"", ReadRegString(HKEY_CLASSES_ROOT, server, nullptr));

  PseudoServiceRegistration installed(L"C:\\Program Files\\Cobalin\\cobalin.dll");
  ASSERT_TRUE(installed.ok());
  EXPECT_TRUE(RegisterEngineClass(engine, APPID_Engine));  // over the existing key
  EXPECT_EQ(L"{FE46042C-22D2-4964-A198-D9D9FA11D477}", ReadRegString(HKEY_CLASSES_ROOT, ClassKey(engine), L"AppID"));
  EXPECT_EQ(L"C:\\Program Files\\Cobalin\\cobalin.dll", ReadRegString(HKEY_CLASSES_ROOT, server, nullptr));
  EXPECT_EQ(L"Free", ReadRegString(HKEY_CLASSES_ROOT, server, L"ThreadingModel"));
  EXPECT_TRUE(IsVolatile(ClassKey(engine)));
  EXPECT_TRUE(IsVolatile(server));

  UnregisterEngineClass(engine);
  EXPECT_FALSE(RegKeyExists(HKEY_CLASSES_ROOT, ClassKey(engine)));
}

TEST(EngineClasses, DeleteRegKeyRemovesNestedTreesAndReportsAMissingKey) {
  const std::wstring root = L"Software\\CobalinDeleteTest";
  for (const wchar_t* path : {L"\\a\\b\\c", L"\\a\\d", L"\\e"}) {
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, (root + path).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                             nullptr, &key, nullptr));
    RegCloseKey(key);
  }
  EXPECT_EQ(ERROR_SUCCESS, DeleteRegKey(HKEY_CURRENT_USER, root.c_str()));
  EXPECT_FALSE(RegKeyExists(HKEY_CURRENT_USER, root));

  TraceCapture trace;
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, DeleteRegKey(HKEY_CURRENT_USER, root.c_str()));
  EXPECT_TRUE(trace.Contains(L"DeleteRegKey - RegOpenKey"));
}

TEST(EngineClasses, SetPseudoEngineDriveGivesTheDriveANewServedClass) {
  Com com;
  RecordingClassObject gui;
  DriveEntry& c = g_DriveTable[2];
  c.pDataIoClient = gui.Connect();
  TraceCapture trace;

  SetPseudoEngineDrive(L'c');
  EXPECT_EQ(L'c', GetPseudoEngineDrive());
  EXPECT_TRUE(trace.Contains(L"Set  GetPseudoEngineDrive = c\n"));
  EXPECT_EQ(GuidText(c.clsidEngine), c.szEngineClsid);
  EXPECT_EQ(L"Free", ReadRegString(HKEY_CLASSES_ROOT, ClassKey(c.clsidEngine) + L"\\InProcServer32", L"ThreadingModel"));

  // The GUI is told the class in a comm-init body: an empty text field, the class from byte 102.
  ASSERT_EQ(1u, gui.object.packets.size());
  const std::vector<BYTE>& packet = gui.object.packets[0];
  ASSERT_EQ(16u + 726u + 4u, packet.size());
  EXPECT_EQ(TW4_5::ID_INIT_ENGINE_COMM, reinterpret_cast<const DataIoHeader*>(packet.data())->Command);
  EXPECT_EQ(std::vector<BYTE>(102, 0), std::vector<BYTE>(packet.begin() + 16, packet.begin() + 118));
  const std::wstring text = GuidText(c.clsidEngine);
  EXPECT_EQ(0, std::memcmp(text.c_str(), packet.data() + 118, (text.size() + 1) * sizeof(wchar_t)));

  // D's engine starts before the GUI has made C's object: each class keeps its own drive, and
  // objects of the pseudo-service class carry none whatever started before.
  SetPseudoEngineDrive(L'D');
  EXPECT_EQ(L'D', GetPseudoEngineDrive());
  ComPtr<IDataObject> engineC, engineD, pseudo;
  ASSERT_EQ(S_OK, CoCreateInstance(c.clsidEngine, nullptr, CLSCTX_INPROC_SERVER, IID_IDataObject,
                                   reinterpret_cast<void**>(engineC.put())));
  EXPECT_TRUE(trace.Contains(L"PmkDataObject::PmkDataObject for drive = c\n"));
  EXPECT_EQ(L'c', static_cast<PmkDataObject*>(engineC.get())->DriveLetter());
  ASSERT_EQ(S_OK, CoCreateInstance(g_DriveTable[3].clsidEngine, nullptr, CLSCTX_INPROC_SERVER, IID_IDataObject,
                                   reinterpret_cast<void**>(engineD.put())));
  EXPECT_EQ(L'D', static_cast<PmkDataObject*>(engineD.get())->DriveLetter());
  ASSERT_EQ(S_OK, g_ClassFactory.CreateInstance(nullptr, IID_IDataObject, reinterpret_cast<void**>(pseudo.put())));
  EXPECT_EQ(0, static_cast<PmkDataObject*>(pseudo.get())->DriveLetter());
  // An activation through the registry reaches DllGetClassObject: the same class objects.
  const auto classObject = [](const CLSID& clsid) {
    ComPtr<IClassFactory> factory;
    EXPECT_EQ(S_OK, DllGetClassObject(clsid, IID_IClassFactory, reinterpret_cast<void**>(factory.put())));
    return factory;
  };
  EXPECT_EQ(L'c', static_cast<CClassFactory*>(classObject(c.clsidEngine).get())->Drive());
  EXPECT_EQ(&g_ClassFactory, classObject(APPID_Engine).get());

  // A letter outside A to Z touches nothing.
  std::vector<BYTE> before(sizeof(g_DriveTable));
  std::memcpy(before.data(), g_DriveTable, sizeof(g_DriveTable));
  for (WCHAR letter : {WCHAR(0), WCHAR(L'@'), WCHAR(L'['), WCHAR(L'1'), WCHAR(0x0141), WCHAR(0xFF43)}) {
    SetPseudoEngineDrive(letter);
  }
  EXPECT_EQ(0, std::memcmp(before.data(), g_DriveTable, sizeof(g_DriveTable)));
  EXPECT_EQ(L'D', GetPseudoEngineDrive());
  CloseCOMPtrs();
  EXPECT_EQ(&g_ClassFactory, classObject(c.clsidEngine).get());  // the session's classes are gone
}

TEST(EngineClasses, CloseCOMPtrsReleasesEveryConnectionAndTakesBackEveryEngineClass) {
  Com com;
  RecordingClassObject gui;
  pdata4_5GUI = gui.Connect();
  g_DriveTable[2].pDataIoClient = gui.Connect();
  g_DriveTable[25].pDataIoClient = gui.Connect();
  SetPseudoEngineDrive(L'C');
  const CLSID earlier = g_DriveTable[2].clsidEngine;
  SetPseudoEngineDrive(L'C');  // a new class; the earlier one is no longer named
  SetPseudoEngineDrive(L'e');
  const CLSID c = g_DriveTable[2].clsidEngine;
  const CLSID e = g_DriveTable[4].clsidEngine;
  EXPECT_EQ(4, gui.object.refs);
  // Registered with COM while the layer runs...
  ComPtr<IClassFactory> factory;
  EXPECT_EQ(S_OK, CoGetClassObject(earlier, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER, nullptr, IID_IClassFactory,
                                   reinterpret_cast<void**>(factory.put())));
  factory.reset();

  TraceCapture trace;
  CloseCOMPtrs();
  EXPECT_TRUE(trace.Contains(L"CloseCOMPtrs\n"));
  EXPECT_TRUE(trace.Contains(L"ExitDataIoClient on pdata4_5GUI\n"));
  EXPECT_EQ(nullptr, pdata4_5GUI);
  for (const DriveEntry& entry : g_DriveTable) {
    EXPECT_EQ(nullptr, entry.pDataIoClient);
    EXPECT_EQ(L'\0', entry.szEngineClsid[0]);
  }
  EXPECT_EQ(1, gui.object.refs);
  EXPECT_FALSE(RegKeyExists(HKEY_CLASSES_ROOT, ClassKey(c)));
  EXPECT_FALSE(RegKeyExists(HKEY_CLASSES_ROOT, ClassKey(e)));
  // ...and taken back at exit, the replaced class too: nothing points at the module any more.
  EXPECT_FALSE(RegKeyExists(HKEY_CLASSES_ROOT, ClassKey(earlier)));
  for (const CLSID& clsid : {earlier, c, e}) {
    EXPECT_TRUE(FAILED(CoGetClassObject(clsid, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER, nullptr, IID_IClassFactory,
                                        reinterpret_cast<void**>(factory.put()))));
  }

  trace.Clear();
  CloseCOMPtrs();  // nothing left: its trace pair alone
  EXPECT_EQ(2u, trace.Lines().size());
}

// At GUI exit, on the translation thread: the pipe thread is asked to leave (not killed), the
// sending pipe closed and every connection released.
TEST(EngineClasses, ExitTranslationLayerEndsThePipeThreadCooperatively) {
  static HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  SetTranslateCommandHandler([](std::uint16_t command, void*, WCHAR, std::uint8_t) {
    if (command != TW4_5::ID_FENUI_EXIT) return;
    ExitTranslationLayer();
    SetEvent(done);
  });
  StartTranslationLayer();
  HANDLE pipeThread = nullptr;
  ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), g_hPipeThread, GetCurrentProcess(), &pipeThread, SYNCHRONIZE,
                              FALSE, 0));
  Sleep(100);  // the pipe thread reaches its wait for the service
  TraceCapture trace;
  ASSERT_TRUE(PostTranslationMessage(MakeTranslationParam(TW4_5::ID_FENUI_EXIT, kFromGui, 0), nullptr, CurrentSession()));
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(done, 10000));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(pipeThread, 0));
  CloseHandle(pipeThread);
  EXPECT_EQ(nullptr, g_hPipeThread);
  EXPECT_FALSE(trace.ContainsPart(L"TerminateThread"));
  EXPECT_FALSE(IsPipeOutOpen());
  EXPECT_TRUE(trace.Contains(L"ExitTranslationLayer"));
  EXPECT_TRUE(trace.Contains(L"CloseCOMPtrs\n"));
  StopTranslationLayer();
  SetTranslateCommandHandler(nullptr);
}
