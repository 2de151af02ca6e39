// The module's entry points and class object, through the built cobalin.dll.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "handoff/commands.h"
#include "pipes/pipe_packet.h"
#include "shared/module_identity.h"
#include "shared/owners.h"
#include "support/gui_peer.h"
#include "support/handle_count.h"
#include "support/linked_layer.h"
#include "support/module_files.h"
#include "support/service_peer.h"
#include "support/trace_capture.h"
#include "translation/translation_thread.h"

namespace {

using GetClassObjectFunction = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
using CanUnloadNowFunction = HRESULT(STDAPICALLTYPE*)();

// The module loaded by path, as COM would load it.
struct Module {
  Module() : handle(LoadLibraryW(BinFile(L"cobalin.dll").c_str())) {
    getClassObject = reinterpret_cast<GetClassObjectFunction>(
        reinterpret_cast<void*>(GetProcAddress(handle.get(), "DllGetClassObject")));
    canUnloadNow = reinterpret_cast<CanUnloadNowFunction>(
        reinterpret_cast<void*>(GetProcAddress(handle.get(), "DllCanUnloadNow")));
  }
  UniqueModule handle;
  GetClassObjectFunction getClassObject = nullptr;
  CanUnloadNowFunction canUnloadNow = nullptr;
};

struct Com {
  Com() { CoInitializeEx(nullptr, COINIT_MULTITHREADED); }
  ~Com() { CoUninitialize(); }
};

// True once the receiving pipe exists and waits for the service (at most 5 s).
bool GuiPipeListens() {
  for (int i = 0; i < 250; ++i) {
    if (WaitNamedPipeW(kGuiPipeLocalName, 20)) return true;
    Sleep(20);
  }
  return false;
}

}  // namespace

TEST(EntryPoints, TheClassObjectAnswersAndDataObjectsHoldTheModule) {
  Module module;
  ASSERT_TRUE(module.getClassObject && module.canUnloadNow);
  EXPECT_EQ(S_OK, module.canUnloadNow());

  IClassFactory* factory = nullptr;
  EXPECT_EQ(E_INVALIDARG, module.getClassObject(CLSID_PseudoService, IID_IClassFactory, nullptr));
  IUnknown* unknown = reinterpret_cast<IUnknown*>(1);
  EXPECT_EQ(E_NOINTERFACE, module.getClassObject(CLSID_PseudoService, IID_IDataObject, reinterpret_cast<void**>(&unknown)));
  EXPECT_EQ(nullptr, unknown);
  // The request started the translation layer all the same: its pipe thread listens.
  EXPECT_TRUE(GuiPipeListens());
  ASSERT_EQ(S_OK, module.getClassObject(CLSID_PseudoService, IID_IClassFactory, reinterpret_cast<void**>(&factory)));
  // Nothing is counted on the class object.
  EXPECT_EQ(1u, factory->AddRef());
  EXPECT_EQ(1u, factory->AddRef());
  EXPECT_EQ(1u, factory->Release());
  EXPECT_EQ(E_FAIL, factory->LockServer(TRUE));
  EXPECT_EQ(S_OK, module.canUnloadNow());

  // Any other class is an engine class, served by the same class object.
  CLSID unknownClass;
  CoCreateGuid(&unknownClass);
  IClassFactory* engineFactory = nullptr;
  EXPECT_EQ(S_OK, module.getClassObject(unknownClass, IID_IUnknown, reinterpret_cast<void**>(&engineFactory)));
  EXPECT_EQ(factory, engineFactory);

  int outer = 0;  // never called: aggregation is refused first
  void* object = reinterpret_cast<void*>(1);
  EXPECT_EQ(CLASS_E_NOAGGREGATION, factory->CreateInstance(reinterpret_cast<IUnknown*>(&outer), IID_IUnknown, &object));
  EXPECT_EQ(nullptr, object);
  object = reinterpret_cast<void*>(1);
  EXPECT_EQ(E_NOINTERFACE, factory->CreateInstance(nullptr, IID_IClassFactory, &object));
  EXPECT_EQ(nullptr, object);
  EXPECT_EQ(S_OK, module.canUnloadNow());

  IDataObject* first = nullptr;
  IDataObject* second = nullptr;
  ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IDataObject, reinterpret_cast<void**>(&first)));
  ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&second)));
  EXPECT_EQ(S_FALSE, module.canUnloadNow());
  EXPECT_EQ(0u, first->Release());
  EXPECT_EQ(S_FALSE, module.canUnloadNow());
  EXPECT_EQ(0u, second->Release());
  EXPECT_EQ(S_OK, module.canUnloadNow());
}

namespace {

// The texts of this thread's trace pairs, in order.
std::vector<std::wstring> ThisThreadsTexts(const TraceCapture& trace) {
  const std::wstring mine = L"Thread " + std::to_wstring(GetCurrentThreadId()) + L": ";
  const auto lines = trace.Lines();
  std::vector<std::wstring> texts;
  for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
    if (lines[i] == mine) texts.push_back(lines[++i]);
  }
  return texts;
}

}  // namespace

// Which kind of class DllGetClassObject serves is told in its trace, word for word: the
// pseudo-service class after the layer's start, any other class as an engine class.
TEST(EntryPoints, DllGetClassObjectTracesWhichKindOfClassItServes) {
  TraceCapture trace;
  ComPtr<IClassFactory> factory;
  ASSERT_EQ(S_OK, DllGetClassObject(CLSID_PseudoService, IID_IClassFactory, reinterpret_cast<void**>(factory.put())));
  auto texts = ThisThreadsTexts(trace);
  ASSERT_GE(texts.size(), 3u);
  EXPECT_EQ(L"DllGetClassObject\n", texts.front());
  EXPECT_EQ(L"StartTranslationLayer\n", texts[1]);
  EXPECT_EQ(L"return  g_ClassFactory.QueryInterface(riid,ppv) for pseudo service\n", texts.back());

  trace.Clear();
  CLSID engine;
  CoCreateGuid(&engine);
  ASSERT_EQ(S_OK, DllGetClassObject(engine, IID_IClassFactory, reinterpret_cast<void**>(factory.put())));
  texts = ThisThreadsTexts(trace);
  const std::vector<std::wstring> expected = {L"DllGetClassObject\n",
                                              L"return  g_ClassFactory.QueryInterface(riid,ppv) for engine\n"};
  EXPECT_EQ(expected, texts);
  factory.reset();
  StopTranslationLayer();
}

TEST(EntryPoints, ComActivatesThePseudoServiceThroughItsInprocServerKey) {
  Com com;
  PseudoServiceRegistration registration(BinFile(L"cobalin.dll"));
  ASSERT_TRUE(registration.ok());
  IDataObject* object = nullptr;
  ASSERT_EQ(S_OK, CoCreateInstance(CLSID_PseudoService, nullptr, CLSCTX_INPROC_SERVER, IID_IDataObject,
                                   reinterpret_cast<void**>(&object)));
  // The object came from the module on disk, loaded by COM.
  HMODULE loaded = nullptr;
  ASSERT_TRUE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                 *reinterpret_cast<LPCWSTR*>(object), &loaded));
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(loaded, path, MAX_PATH);
  EXPECT_EQ(0, lstrcmpiW(BinFile(L"cobalin.dll").c_str(), path));

  FORMATETC format{CF_TEXT, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
  EXPECT_EQ(S_OK, object->QueryGetData(&format));
  EXPECT_EQ(0u, object->Release());
}

// COM asks whether the module may go (anything in the process freeing unused libraries makes
// it ask) while a session runs and the GUI holds only the class object: S_OK, and nothing ends.
// The GUI goes on with that class object: its command reaches the service and the service's
// report reaches it on the same connection, and no farewell comes before its exit. After the
// exit the module leaves the process. Past two warm-up sessions (the first ones open handles
// of COM and Wine for good), a session, which loads and frees the module, leaves no handle
// behind (neither the module's nor its runtime's record of the loading thread).
TEST(EntryPoints, AnUnloadQuestionEndsNothingAndTheHeldClassObjectGoesOn) {
  Com com;
  ASSERT_TRUE(InstallServiceBuildNumber());
  PseudoServiceRegistration registration(BinFile(L"cobalin.dll"));
  ASSERT_TRUE(registration.ok());
  WCHAR name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
  ASSERT_TRUE(GetComputerNameW(name, &size));
  const std::wstring path = BinFile(L"cobalin.dll");
  const auto session = [&] {
    GuiPeer gui;
    ServicePeer service;
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(S_OK, CoGetClassObject(CLSID_PseudoService, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                                     reinterpret_cast<void**>(factory.put())));
    ComPtr<IDataObject> pseudo;
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IDataObject, reinterpret_cast<void**>(pseudo.put())));
    ASSERT_EQ(S_OK, SendDataIo(pseudo.get(), TW4_5::ID_INIT_PIPE_COM, name, (size + 1) * sizeof(WCHAR)));
    const CommInitBody comm = gui.OwnCommInitBody();
    ASSERT_EQ(S_OK, SendDataIo(pseudo.get(), TW4_5::ID_INIT_SERVICE_COMM, &comm, sizeof(comm)));
    ASSERT_TRUE(service.WaitForGuiPipe(5000));
    pseudo.reset();
    CoFreeUnusedLibrariesEx(0, 0);  // DllCanUnloadNow: no data object lives
    EXPECT_NE(nullptr, GetModuleHandleW(path.c_str())) << "the running layer's threads no longer hold the module";

    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IDataObject, reinterpret_cast<void**>(pseudo.put())));
    const std::size_t sent = service.Count();
    ASSERT_EQ(S_OK, SendDataIo(pseudo.get(), TW4_5::ID_REQUEST_PRIORITY_DATA));
    ASSERT_TRUE(service.WaitForCount(sent + 1, 5000)) << "the command did not reach the service";
    const auto packets = service.Packets();
    EXPECT_EQ(TW4_0::ID_REQUEST_PRIORITY_DATA, packets.back().header.dwCommand);
    for (const ServicePacket& p : packets) EXPECT_NE(TW4_0::ID_GUI_STOP, p.header.dwCommand) << "a farewell";
    EXPECT_EQ(1, service.Connections());
    ASSERT_TRUE(service.Send(TW4_0::ID_NEW_PRIORITY_DATA, 0, std::vector<BYTE>(4, 7)));
    ASSERT_TRUE(gui.WaitForCount(1, 5000)) << "the service's report did not reach the GUI";
    EXPECT_EQ(TW4_5::ID_RECEIVE_PRIORITY_DATA, gui.Packets().back().command);

    ASSERT_EQ(S_OK, SendDataIo(pseudo.get(), TW4_5::ID_FENUI_EXIT));
    ASSERT_TRUE(service.WaitForCount(sent + 3, 5000));
    EXPECT_EQ(ID_PIPE_DISCONNECTED, service.Packets().back().header.dwCommand);
    pseudo.reset();
    factory.reset();
    CoFreeUnusedLibrariesEx(0, 0);
    for (int i = 0; i < 500 && GetModuleHandleW(path.c_str()) != nullptr; ++i) Sleep(20);
    EXPECT_EQ(nullptr, GetModuleHandleW(path.c_str())) << "the module is still loaded after the exit";
    EXPECT_TRUE(gui.WaitForLiveObjects(0, 5000)) << "the GUI's objects are still held";
  };
  session();
  session();
  const DWORD handles = OpenHandleCount();
  session();
  session();
  EXPECT_EQ(handles, OpenHandleCount());
}
