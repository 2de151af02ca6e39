#include "dataio/data_object_count.h"

HANDLE g_hNoDataObjectsEvent = nullptr;

namespace {

// The count and its event change together: another object's creation or destruction never
// falls between them, so the event is never left signalled while an object lives.
SRWLOCK g_dataObjectsLock = SRWLOCK_INIT;
volatile LONG g_cDataObjects = 0;

// Creates the module-wide event when the module's static objects are set up (before DllMain
// sees the attach) and closes it when those objects are torn down (after the detach). A
// failed creation goes unnoticed and leaves the handle NULL.
class ModuleEvents {
 public:
  ModuleEvents() noexcept {
    g_hNoDataObjectsEvent = CreateEventW(nullptr, TRUE, TRUE, nullptr);  // manual, signalled
  }
  ~ModuleEvents() {
    if (g_hNoDataObjectsEvent != nullptr) CloseHandle(g_hNoDataObjectsEvent);
    g_hNoDataObjectsEvent = nullptr;
  }
  ModuleEvents(const ModuleEvents&) = delete;
  ModuleEvents& operator=(const ModuleEvents&) = delete;
};

ModuleEvents g_moduleEvents;

}  // namespace

void DataObjectCreated() noexcept {
  AcquireSRWLockExclusive(&g_dataObjectsLock);
  if (InterlockedIncrement(&g_cDataObjects) != 0) ResetEvent(g_hNoDataObjectsEvent);
  ReleaseSRWLockExclusive(&g_dataObjectsLock);
}

void DataObjectDestroyed() noexcept {
  AcquireSRWLockExclusive(&g_dataObjectsLock);
  if (InterlockedDecrement(&g_cDataObjects) == 0) SetEvent(g_hNoDataObjectsEvent);
  ReleaseSRWLockExclusive(&g_dataObjectsLock);
}
