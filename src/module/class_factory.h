#pragma once
// The module's class objects. Every class the module serves is handed out by one of them, and
// everything they create is a PmkDataObject carrying the drive letter of its class object:
// g_ClassFactory for the pseudo-service class (no drive), and one per drive letter A to Z for
// the engine classes the translation layer makes at run time.

#include <windows.h>
#include <unknwn.h>

// Static: no reference count, no lock count, never deleted. Any thread.
class CClassFactory final : public IClassFactory {
 public:
  explicit CClassFactory(WCHAR drive = 0) noexcept : m_chDrive(drive) {}
  CClassFactory(const CClassFactory&) = delete;
  CClassFactory& operator=(const CClassFactory&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) noexcept override;
  // Return 1 always: nothing is counted.
  ULONG STDMETHODCALLTYPE AddRef() noexcept override;
  ULONG STDMETHODCALLTYPE Release() noexcept override;
  // A new PmkDataObject carrying this class object's drive letter.
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) noexcept override;
  // Locks are not supported: E_FAIL always, and the module is not kept loaded.
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) noexcept override;

  [[nodiscard]] WCHAR Drive() const noexcept { return m_chDrive; }

 private:
  friend CClassFactory* AddEngineClass(REFCLSID clsid, WCHAR letter) noexcept;
  volatile WCHAR m_chDrive;  // 0 for none; an engine class object's is set when its class is made
};

// The pseudo-service class's class object: its objects carry no drive (letter 0).
extern CClassFactory g_ClassFactory;

// Translation thread, when it makes an engine class for the drive of `letter` (A to Z, either
// case): the drive's class object, from now on carrying `letter` as given, and the class
// remembered for DllGetClassObject. nullptr for a letter that names no drive.
CClassFactory* AddEngineClass(REFCLSID clsid, WCHAR letter) noexcept;
// Translation thread, at GUI exit: the engine classes are gone.
void ForgetEngineClasses() noexcept;
// Any thread: the class object for `clsid`, an engine class the layer made, or g_ClassFactory
// for any other class (none is refused; its objects carry no drive).
[[nodiscard]] CClassFactory& ClassFactoryFor(REFCLSID clsid) noexcept;
