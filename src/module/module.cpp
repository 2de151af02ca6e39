#include "module/module.h"

#include "shared/trace.h"

// {1B872DBC-5A55-43B1-AFF6-4115DD5C3D44}: the class the installation registers the module under.
const CLSID CLSID_PseudoService = {0x1B872DBC, 0x5A55, 0x43B1, {0xAF, 0xF6, 0x41, 0x15, 0xDD, 0x5C, 0x3D, 0x44}};
// {96AAD113-9A21-4162-8DC7-7A02CA59369D}: the module's type library.
const GUID LIBID_COBALINLib = {0x96AAD113, 0x9A21, 0x4162, {0x8D, 0xC7, 0x7A, 0x02, 0xCA, 0x59, 0x36, 0x9D}};
// {FE46042C-22D2-4964-A198-D9D9FA11D477}: the application every engine class runs under.
const GUID APPID_Engine = {0xFE46042C, 0x22D2, 0x4964, {0xA1, 0x98, 0xD9, 0xD9, 0xFA, 0x11, 0xD4, 0x77}};

HINSTANCE g_hInstance = nullptr;
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
