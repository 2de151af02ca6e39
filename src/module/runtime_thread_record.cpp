// The 32-bit runtime linked into the module (its unwinder's one-time set-up at load) makes a
// record for the loading thread that holds a duplicate of that thread's handle and an event.
// Such a record is freed when its thread ends, through the module's TLS callbacks with
// DLL_THREAD_DETACH. The loading thread usually outlives the module (a GUI's main thread), so
// every load and unload would leave both handles behind: two per cycle in a GUI that lets COM
// free the module between sessions. The module hands the loading thread that notice itself, at
// once, while nothing of the runtime is in use on it; the runtime makes a new record should the
// thread need one again, and its TLS callbacks are made to stand exactly such a notice.

#include "module/runtime_thread_record.h"

void ReleaseRuntimeThreadRecord(HINSTANCE instance) noexcept {
  const auto* base = reinterpret_cast<const BYTE*>(instance);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  if (dos->e_magic != IMAGE_DOS_SIGNATURE) return;
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  if (nt->Signature != IMAGE_NT_SIGNATURE ||
      nt->OptionalHeader.NumberOfRvaAndSizes <= IMAGE_DIRECTORY_ENTRY_TLS)
    return;
  const IMAGE_DATA_DIRECTORY& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_TLS];
  if (directory.VirtualAddress == 0 || directory.Size < sizeof(IMAGE_TLS_DIRECTORY)) return;
  const auto* tls = reinterpret_cast<const IMAGE_TLS_DIRECTORY*>(base + directory.VirtualAddress);
  // The loader has relocated the list's address: it is the list itself, ended by a null entry.
  auto* callback = reinterpret_cast<PIMAGE_TLS_CALLBACK*>(tls->AddressOfCallBacks);
  for (; callback != nullptr && *callback != nullptr; ++callback) (*callback)(instance, DLL_THREAD_DETACH, nullptr);
}
