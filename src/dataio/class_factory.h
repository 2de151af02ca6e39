#pragma once
// The module's class objects. Everything they create is a PmkDataObject carrying the drive
// letter and the session of its class object: g_ClassFactory serves the pseudo-service class
// (no drive; each object belongs to the session running when it is made), and each engine class
// the translation layer makes at run time has a class object of its own, bound to its drive and
// to the session that made it.

#include <windows.h>
#include <unknwn.h>

#include "handoff/translation_message.h"

// Any thread.
class CClassFactory final : public IClassFactory {
 public:
  // The static pseudo-service class object: no reference count, no lock count, never deleted.
  CClassFactory() noexcept = default;
  ~CClassFactory() = default;  // an engine class's goes with its last Release
  CClassFactory(const CClassFactory&) = delete;
  CClassFactory& operator=(const CClassFactory&) = delete;

  // An engine class's class object: counted, at 1 (the caller's reference); nullptr when out of
  // memory. It lives while COM, the layer's list or the GUI holds it.
  [[nodiscard]] static CClassFactory* CreateForEngine(WCHAR letter, SessionId session) noexcept;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) noexcept override;
  // The static class object returns 1 always: nothing is counted.
  ULONG STDMETHODCALLTYPE AddRef() noexcept override;
  ULONG STDMETHODCALLTYPE Release() noexcept override;
  // A new PmkDataObject carrying this class object's drive letter and session.
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) noexcept override;
  // Locks are not supported: E_FAIL always, and the module is not kept loaded.
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) noexcept override;

  [[nodiscard]] WCHAR Drive() const noexcept { return m_chDrive; }
  [[nodiscard]] SessionId Session() const noexcept { return m_session; }

 private:
  CClassFactory(WCHAR letter, SessionId session) noexcept
      : m_bCounted(true), m_cRef(1), m_chDrive(letter), m_session(session) {}

  const bool m_bCounted = false;
  volatile LONG m_cRef = 1;
  const WCHAR m_chDrive = 0;       // 0 for none
  const SessionId m_session = 0;   // 0: the session running when an object is made
};

// The pseudo-service class's class object.
extern CClassFactory g_ClassFactory;
