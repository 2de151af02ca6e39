#include "module/class_factory.h"

#include <new>
#include <vector>

#include "dataio/data_object.h"
#include "shared/trace.h"

CClassFactory g_ClassFactory;

namespace {

constexpr int kDrives = 26;
CClassFactory g_EngineClassFactories[kDrives];

// The engine classes of the running session and their drives' class objects. Written by the
// translation thread, read by DllGetClassObject on COM threads.
struct EngineClass {
  CLSID clsid;
  CClassFactory* factory;
};
SRWLOCK g_engineClassesLock = SRWLOCK_INIT;
std::vector<EngineClass> g_engineClasses;

int DriveIndexOf(WCHAR letter) noexcept {
  if (letter >= L'A' && letter <= L'Z') return letter - L'A';
  if (letter >= L'a' && letter <= L'z') return letter - L'a';
  return -1;
}

}  // namespace

CClassFactory* AddEngineClass(REFCLSID clsid, WCHAR letter) noexcept {
  const int index = DriveIndexOf(letter);
  if (index < 0) return nullptr;
  CClassFactory* factory = &g_EngineClassFactories[index];
  factory->m_chDrive = letter;
  AcquireSRWLockExclusive(&g_engineClassesLock);
  try {
    g_engineClasses.push_back({clsid, factory});
  } catch (const std::bad_alloc&) {
    // COM still finds the class object registered for the class; only an activation through
    // the registry would get objects without a drive.
    Trace(L"AddEngineClass - no memory to remember the engine class of drive %c\n", letter);
  }
  ReleaseSRWLockExclusive(&g_engineClassesLock);
  return factory;
}

void ForgetEngineClasses() noexcept {
  AcquireSRWLockExclusive(&g_engineClassesLock);
  g_engineClasses.clear();
  g_engineClasses.shrink_to_fit();
  ReleaseSRWLockExclusive(&g_engineClassesLock);
}

CClassFactory& ClassFactoryFor(REFCLSID clsid) noexcept {
  CClassFactory* found = &g_ClassFactory;
  AcquireSRWLockShared(&g_engineClassesLock);
  for (const EngineClass& engine : g_engineClasses) {
    if (IsEqualCLSID(engine.clsid, clsid)) {
      found = engine.factory;
      break;
    }
  }
  ReleaseSRWLockShared(&g_engineClassesLock);
  return *found;
}

HRESULT STDMETHODCALLTYPE CClassFactory::QueryInterface(REFIID riid, void** ppv) noexcept {
  if (ppv == nullptr) return E_INVALIDARG;
  if (IsEqualIID(riid, IID_IClassFactory) || IsEqualIID(riid, IID_IUnknown)) {
    *ppv = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE CClassFactory::AddRef() noexcept { return 1; }

ULONG STDMETHODCALLTYPE CClassFactory::Release() noexcept { return 1; }

HRESULT STDMETHODCALLTYPE CClassFactory::CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) noexcept {
  if (ppv == nullptr) return E_INVALIDARG;
  *ppv = nullptr;
  if (pUnkOuter != nullptr) return CLASS_E_NOAGGREGATION;
  auto* object = new (std::nothrow) PmkDataObject(m_chDrive);
  if (object == nullptr) return E_OUTOFMEMORY;
  // On success the caller holds the only reference; on failure the object goes at once.
  const HRESULT hr = object->QueryInterface(riid, ppv);
  object->Release();
  return hr;
}

HRESULT STDMETHODCALLTYPE CClassFactory::LockServer(BOOL) noexcept { return E_FAIL; }
