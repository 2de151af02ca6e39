#include "translation/engine_classes.h"

#include <cwchar>
#include <new>
#include <vector>

#include "dataio/dataio_client.h"
#include "module/class_factory.h"
#include "module/module.h"
#include "module/registration.h"
#include "pipes/pipe_out.h"
#include "shared/owners.h"
#include "translation/text_field.h"
#include "shared/trace.h"
#include "translation/comm_init_body.h"
#include "handoff/commands.h"
#include "translation/drive_table.h"
#include "translation/translation_thread.h"

namespace {


// Every engine class the layer made, with its class-object registration. Each engine start
// makes a new class, so a drive may have had several; all of them point at this module's code,
// and all are taken back at GUI exit, so that no registry key outlives the session and no
// registration is left for COM to revoke after the module has been unloaded.
struct EngineRegistration {
  CLSID clsid;
  DWORD cookie;  // 0 when the class object could not be registered
};
std::vector<EngineRegistration> g_engineRegistrations;  // translation thread only

void Remember(const CLSID& clsid, DWORD cookie) noexcept {
  try {
    g_engineRegistrations.push_back({clsid, cookie});
  } catch (const std::bad_alloc&) {
    Trace(L"SetPseudoEngineDrive - no memory to remember engine class registration %u\n", cookie);
  }
}

bool IsCurrentEngineClass(const CLSID& clsid) noexcept {
  for (const DriveEntry& entry : g_DriveTable) {
    if (entry.szEngineClsid[0] != L'\0' && IsEqualCLSID(entry.clsidEngine, clsid)) return true;
  }
  return false;
}

}  // namespace

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
  DWORD cookie = 0;
  InitializeDataIo(entry->clsidEngine, REGCLS_MULTIPLEUSE, &cookie, AddEngineClass(entry->clsidEngine, letter));
  Remember(entry->clsidEngine, cookie);

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
  for (const EngineRegistration& registration : g_engineRegistrations) {
    if (registration.cookie != 0) CoRevokeClassObject(registration.cookie);
    if (!IsCurrentEngineClass(registration.clsid)) UnregisterEngineClass(registration.clsid);
  }
  g_engineRegistrations.clear();
  ForgetEngineClasses();
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
