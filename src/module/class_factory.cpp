#include "module/class_factory.h"

#include <new>

#include "dataio/data_object.h"

CClassFactory g_ClassFactory;

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
  auto* object = new (std::nothrow) PmkDataObject();
  if (object == nullptr) return E_OUTOFMEMORY;
  // On success the caller holds the only reference; on failure the object goes at once.
  const HRESULT hr = object->QueryInterface(riid, ppv);
  object->Release();
  return hr;
}

HRESULT STDMETHODCALLTYPE CClassFactory::LockServer(BOOL) noexcept { return E_FAIL; }
