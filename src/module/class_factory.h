#pragma once
// The module's one class object. Every class the module serves (the pseudo-service class and
// every engine class) is handed out by it, and everything it creates is a PmkDataObject.

#include <windows.h>
#include <unknwn.h>

// Stateless and static: no reference count, no lock count, never deleted. Any thread.
class CClassFactory final : public IClassFactory {
 public:
  constexpr CClassFactory() noexcept = default;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) noexcept override;
  // Return 1 always: nothing is counted.
  ULONG STDMETHODCALLTYPE AddRef() noexcept override;
  ULONG STDMETHODCALLTYPE Release() noexcept override;
  // A new PmkDataObject carrying the current pseudo-engine drive letter.
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) noexcept override;
  // Locks are not supported: E_FAIL always, and the module is not kept loaded.
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) noexcept override;
};

extern CClassFactory g_ClassFactory;
