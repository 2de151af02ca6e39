#include "translation/engine_classes.h"

#include <cwchar>
#include <new>
#include <vector>

#include "dataio/class_factory.h"
#include "dataio/dataio_client.h"
#include "handoff/commands.h"
#include "pipes/pipe_out.h"
#include "shared/module_identity.h"
#include "shared/owners.h"
#include "shared/trace.h"
#include "translation/comm_init_body.h"
#include "translation/drive_table.h"
#include "translation/engine_class_keys.h"
#include "translation/text_field.h"
#include "translation/translation_thread.h"

namespace {

// The session's engine classes, one entry per class made: each engine start makes a new class,
// so a drive may have had several. The list serves both sides: DllGetClassObject finds the
// class object of an engine class here (COM threads, shared), and the translation thread takes
// every class back at the GUI's exit (its class-object registration and its registry keys), so
// that no key outlives the session and no registration is left for COM to revoke after the
// module has been unloaded. Each entry holds one reference on its class object.
struct EngineClass {
  CLSID clsid;
  CClassFactory* factory;
  DWORD cookie;  // 0 when the class object could not be registered with COM
};
SRWLOCK g_engineClassesLock = SRWLOCK_INIT;
std::vector<EngineClass> g_engineClasses;  // written by the translation thread only

// Translation thread. The drive's class object for a new engine class, kept in the list;
// nullptr when out of memory.
CClassFactory* AddEngineClass(const CLSID& clsid, WCHAR letter) noexcept {
  CClassFactory* factory = CClassFactory::CreateForEngine(letter, CurrentSession());
  if (factory == nullptr) return nullptr;
  AcquireSRWLockExclusive(&g_engineClassesLock);
  try {
    g_engineClasses.push_back({clsid, factory, 0});
  } catch (const std::bad_alloc&) {
    factory->Release();
    factory = nullptr;
  }
  ReleaseSRWLockExclusive(&g_engineClassesLock);
  if (factory == nullptr) Trace(L"SetPseudoEngineDrive - no memory for the engine class of drive %c\n", letter);
  return factory;
}

void SetCookie(const CLSID& clsid, DWORD cookie) noexcept {
  AcquireSRWLockExclusive(&g_engineClassesLock);
  for (EngineClass& engine : g_engineClasses) {
    if (IsEqualCLSID(engine.clsid, clsid)) engine.cookie = cookie;
  }
  ReleaseSRWLockExclusive(&g_engineClassesLock);
}

bool IsCurrentEngineClass(const CLSID& clsid) noexcept {
  for (const DriveEntry& entry : g_DriveTable) {
    if (entry.szEngineClsid[0] != L'\0' && IsEqualCLSID(entry.clsidEngine, clsid)) return true;
  }
  return false;
}

}  // namespace

bool QueryEngineClassObject(REFCLSID clsid, REFIID riid, void** ppv, HRESULT* result) noexcept {
  AcquireSRWLockShared(&g_engineClassesLock);
  bool found = false;
  for (const EngineClass& engine : g_engineClasses) {
    if (IsEqualCLSID(engine.clsid, clsid)) {
      *result = engine.factory->QueryInterface(riid, ppv);
      found = true;
      break;
    }
  }
  ReleaseSRWLockShared(&g_engineClassesLock);
  return found;
}

// Translation thread. The drive entry, g_cPseudoEngineDrive and the class registrations are
// the translation thread's; the class object registered here lasts until the GUI's exit.
void SetPseudoEngineDrive(WCHAR letter) noexcept {
  DriveEntry* entry = FindDriveEntry(letter);
  if (entry == nullptr) {
    Trace(L"SetPseudoEngineDrive - %d names no drive; nothing registered\n", static_cast<int>(letter));
    return;
  }

  CoCreateGuid(&entry->clsidEngine);
  // Kept as given: the drive's class object hands out objects carrying this letter.
  SetPseudoEngineDriveLetter(letter);
  Trace(L"Set  GetPseudoEngineDrive = %c\n", letter);

  UniqueCoTaskString text;
  if (SUCCEEDED(StringFromCLSID(entry->clsidEngine, text.put()))) {
    CopyTerminatedText(entry->szEngineClsid, text.get());
  } else {
    entry->szEngineClsid[0] = L'\0';
  }

  RegisterEngineClass(entry->clsidEngine, APPID_Engine);
  if (CClassFactory* factory = AddEngineClass(entry->clsidEngine, letter)) {
    DWORD cookie = 0;
    InitializeDataIo(entry->clsidEngine, REGCLS_MULTIPLEUSE, &cookie, factory);
    SetCookie(entry->clsidEngine, cookie);
  }

  CommInitBody body{};
  CopyTextField(body.szClsid, entry->szEngineClsid);
  DataIoClientSetData(TW4_5::ID_INIT_ENGINE_COMM, &body, kCommInitBodySize, entry->pDataIoClient);
}

// Translation thread, at GUI exit, after the last packets to the service have gone.
void ExitTranslationLayer() noexcept {
  Trace(L"ExitTranslationLayer");
  // The pipe thread is asked to leave and is forced only when it will not, so that it never
  // dies holding a lock or a block; it is gone before the sending pipe is closed here.
  EndPipeThread();
  ClosePipeOut();
  CloseCOMPtrs();
}

// Translation thread. Releases every GUI connection, removes the engine class key that each
// drive entry names now, then takes back every engine class the layer made: the class-object
// registrations, and the keys of classes that a later engine start had replaced.
void CloseCOMPtrs() noexcept {
  Trace(L"CloseCOMPtrs\n");
  std::vector<EngineClass> classes;
  AcquireSRWLockExclusive(&g_engineClassesLock);
  classes.swap(g_engineClasses);
  ReleaseSRWLockExclusive(&g_engineClassesLock);
  for (const EngineClass& engine : classes) {
    if (engine.cookie != 0) CoRevokeClassObject(engine.cookie);
    if (!IsCurrentEngineClass(engine.clsid)) UnregisterEngineClass(engine.clsid);
    engine.factory->Release();
  }
  if (pdata4_5GUI != nullptr) {
    ExitDataIoClient(&pdata4_5GUI);
    Trace(L"ExitDataIoClient on pdata4_5GUI\n");
    pdata4_5GUI = nullptr;
  }
  for (DriveEntry& entry : g_DriveTable) {
    if (entry.pDataIoClient != nullptr) {
      ExitDataIoClient(&entry.pDataIoClient);
      entry.pDataIoClient = nullptr;
    }
    if (entry.szEngineClsid[0] != L'\0') {
      UnregisterEngineClass(entry.clsidEngine);
      entry.szEngineClsid[0] = L'\0';
    }
  }
}
