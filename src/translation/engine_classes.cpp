#include "translation/engine_classes.h"

#include <cwchar>

#include "dataio/dataio_client.h"
#include "module/module.h"
#include "module/registration.h"
#include "pipes/pipe_out.h"
#include "shared/owners.h"
#include "shared/trace.h"
#include "translation/comm_init_body.h"
#include "translation/commands.h"
#include "translation/drive_table.h"
#include "translation/translation_thread.h"

namespace {

// Copies a text into a fixed field, always terminated, never past the field.
template <std::size_t N>
void CopyText(WCHAR (&field)[N], const wchar_t* text) noexcept {
  std::size_t i = 0;
  for (; i + 1 < N && text[i] != L'\0'; ++i) field[i] = text[i];
  for (; i < N; ++i) field[i] = L'\0';
}

}  // namespace

// Translation thread. The drive entry, g_cPseudoEngineDrive and the class registrations are
// the translation thread's; the class object registered here lasts as long as the process.
void SetPseudoEngineDrive(WCHAR letter) noexcept {
  DriveEntry* entry = FindDriveEntry(letter);
  if (entry == nullptr) {
    Trace(L"SetPseudoEngineDrive - %d names no drive; nothing registered\n", static_cast<int>(letter));
    return;
  }

  CoCreateGuid(&entry->clsidEngine);
  // Kept as given: data objects created from now on carry this letter.
  SetPseudoEngineDriveLetter(letter);
  Trace(L"Set  GetPseudoEngineDrive = %c\n", letter);

  UniqueCoTaskString text;
  if (SUCCEEDED(StringFromCLSID(entry->clsidEngine, text.put()))) {
    CopyText(entry->szEngineClsid, text.get());
  } else {
    entry->szEngineClsid[0] = L'\0';
  }

  RegisterEngineClass(entry->clsidEngine, APPID_Engine);
  InitializeDataIo(entry->clsidEngine, REGCLS_MULTIPLEUSE, nullptr);

  CommInitBody body{};
  CopyText(body.szClsid, entry->szEngineClsid);
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

// Translation thread. Releases every GUI connection and removes the engine class key that each
// drive entry names now; the class objects registered with COM stay registered.
void CloseCOMPtrs() noexcept {
  Trace(L"CloseCOMPtrs\n");
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
