// The module's entry points: the loader's notifications and the two COM entry points that hand
// out the class object and say whether the module may go.

#include <windows.h>
#include <objbase.h>

#include "dataio/class_factory.h"
#include "dataio/data_object_count.h"
#include "module/runtime_thread_record.h"
#include "shared/module_identity.h"
#include "shared/trace.h"
#include "translation/engine_classes.h"
#include "translation/translation_thread.h"

// Loader thread, under the loader lock. Always TRUE.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void* reserved) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      Trace(L"DllMain dwReason == DLL_PROCESS_ATTACH\n");
      g_hInstance = instance;
      DisableThreadLibraryCalls(instance);
      ReleaseRuntimeThreadRecord(instance);
      break;
    case DLL_PROCESS_DETACH:
      Trace(L"DllMain dwReason == DLL_PROCESS_DETACH\n");
      // Harmless when the layer never started: there is nothing to stop then. Under the loader
      // lock nothing waits for a thread: the layer's threads hold references on the module, so
      // at an unload they have ended already, and the stop only lets go of their handles. When
      // the process is ending, its other threads are gone already, perhaps killed inside the
      // layer's lock: nothing is left to stop and taking that lock could hang the exit.
      if (reserved == nullptr) StopTranslationLayer(LayerStopWait::kNone);
      break;
    default:
      break;
  }
  return TRUE;
}

namespace {

HRESULT GetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) noexcept {
  Trace(L"DllGetClassObject\n");
  if (IsEqualCLSID(rclsid, CLSID_PseudoService)) {
    // Started on every request, before the interface is looked up and whatever its outcome.
    StartTranslationLayer();
    Trace(L"return  g_ClassFactory.QueryInterface(riid,ppv) for pseudo service\n");
  } else {
    // Every other class is taken for an engine class made at run time: the class object of
    // one the layer made stands for its drive and session; none is refused.
    Trace(L"return  g_ClassFactory.QueryInterface(riid,ppv) for engine\n");
    HRESULT hr = S_OK;
    if (QueryEngineClassObject(rclsid, riid, ppv, &hr)) return hr;
  }
  return g_ClassFactory.QueryInterface(riid, ppv);
}

HRESULT CanUnloadNow() noexcept {
  // Only live data objects keep the module: not the class objects, not LockServer, not the
  // translation layer's threads (they hold module references of their own).
  if (WaitForSingleObject(g_hNoDataObjectsEvent, 0) == WAIT_TIMEOUT) {
    Trace(L"DllCanUnloadNow returning S_FALSE\n");
    return S_FALSE;
  }
  Trace(L"DllCanUnloadNow returning S_OK\n");
  // A question only: it ends nothing. COM asks it whenever anything in the process frees unused
  // libraries, and the GUI may go on with a class object it holds or a new activation. A
  // running layer's threads hold the module, so it stays loaded until the session's exit; a
  // session without its exit ends when the module leaves the process, or with the process.
  return S_OK;
}

}  // namespace

// Any COM thread of the host.
STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) { return GetClassObject(rclsid, riid, ppv); }

// Any COM thread of the host (CoFreeUnusedLibraries).
STDAPI DllCanUnloadNow() { return CanUnloadNow(); }
