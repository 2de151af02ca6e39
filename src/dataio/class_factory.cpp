#include "dataio/class_factory.h"

#include <new>

#include "dataio/data_object.h"

CClassFactory g_ClassFactory;

CClassFactory* CClassFactory::CreateForEngine(WCHAR letter, SessionId session) noexcept {
  return new (std::nothrow) CClassFactory(letter, session);
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

ULONG STDMETHODCALLTYPE CClassFactory::AddRef() noexcept {
  return m_bCounted ? static_cast<ULONG>(InterlockedIncrement(&m_cRef)) : 1;
}

ULONG STDMETHODCALLTYPE CClassFactory::Release() noexcept {
  if (!m_bCounted) return 1;
  const LONG count = InterlockedDecrement(&m_cRef);
  if (count == 0) delete this;
  return static_cast<ULONG>(count);
}

HRESULT STDMETHODCALLTYPE CClassFactory::CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) noexcept {
  if (ppv == nullptr) return E_INVALIDARG;
  *ppv = nullptr;
  if (pUnkOuter != nullptr) return CLASS_E_NOAGGREGATION;
  auto* object = new (std::nothrow) PmkDataObject(m_chDrive, m_session != 0 ? m_session : CurrentSession());
  if (object == nullptr) return E_OUTOFMEMORY;
  // On success the caller holds the only reference; on failure the object goes at once.
  const HRESULT hr = object->QueryInterface(riid, ppv);
  object->Release();
  return hr;
}

HRESULT STDMETHODCALLTYPE CClassFactory::LockServer(BOOL) noexcept { return E_FAIL; }
