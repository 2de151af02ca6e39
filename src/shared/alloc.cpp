#include "shared/alloc.h"

#include "shared/error_log.h"

#define ALLOC_WIDE_(text) L##text
#define ALLOC_WIDE(text) ALLOC_WIDE_(text)

namespace {

GlobalAllocCall volatile g_globalAlloc = GlobalAlloc;
GlobalReAllocCall volatile g_globalReAlloc = GlobalReAlloc;

// Hands one failure to the error log: this unit's source path and the line of the failing
// check, the thread's last-error value at that moment, and the unit's build time stamp.
void LogAllocationFailure(int line) noexcept {
  const LONG status = static_cast<LONG>(GetLastError());
  WCHAR message[1025];
  WCHAR parameter[1025];
  wsprintfW(message, L"Error in file %s line %d", ALLOC_WIDE(__FILE__), line);
  wsprintfW(parameter, L"Compiled %s", ALLOC_WIDE(__TIMESTAMP__));
  WriteErrorLog(message, status, parameter);
}

}  // namespace

BOOL AllocateMemory(DWORD size, HGLOBAL* phMemory, void** ppMemory) noexcept {
  if (phMemory == nullptr) return FALSE;
  if (size == 0) { LogAllocationFailure(__LINE__); return FALSE; }

  bool succeeded;
  if (*phMemory == nullptr) {
    *phMemory = g_globalAlloc(kAllocateMemoryFlags, size);
    succeeded = *phMemory != nullptr;
    if (*phMemory == nullptr) LogAllocationFailure(__LINE__);
  } else if (GlobalSize(*phMemory) == size) {
    succeeded = true;
  } else {
    // The slot's lock is given up before the block may move; the slot no longer stands for a
    // lock, so the clean-up below does not give it up a second time.
    if (ppMemory != nullptr && *ppMemory != nullptr) {
      GlobalUnlock(*phMemory);
      *ppMemory = nullptr;
    }
    HGLOBAL resized = g_globalReAlloc(*phMemory, size, kAllocateMemoryFlags);
    if (resized == nullptr) LogAllocationFailure(__LINE__);
    succeeded = resized != nullptr;
    if (succeeded) *phMemory = resized;
  }

  // Every path leaves through here; the result is decided now.
  if (succeeded) {
    if (ppMemory == nullptr) return TRUE;
    *ppMemory = GlobalLock(*phMemory);
    return *ppMemory != nullptr ? TRUE : FALSE;
  }
  if (ppMemory != nullptr) {
    if (*ppMemory != nullptr && *phMemory != nullptr) GlobalUnlock(*phMemory);
    *ppMemory = nullptr;
  }
  if (*phMemory != nullptr) {
    GlobalFree(*phMemory);
    *phMemory = nullptr;
  }
  return FALSE;
}

void SetAllocateMemoryCalls(GlobalAllocCall alloc, GlobalReAllocCall reAlloc) noexcept {
  g_globalAlloc = alloc != nullptr ? alloc : GlobalAlloc;
  g_globalReAlloc = reAlloc != nullptr ? reAlloc : GlobalReAlloc;
}
