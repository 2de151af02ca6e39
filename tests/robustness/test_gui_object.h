#pragma once
// A GUI data object for the robustness tests, served in-process under a class of its own.

#include <windows.h>
#include <objidl.h>
#include <vector>

#include "shared/owners.h"
#include "support/played_data_object.h"

// The GUI's object for the cases where it misbehaves: answers `answer`, and waits in SetData
// (bounded) until `release` is set. Records the bodies it took.
class TestGuiObject final : public PlayedDataObject {
 public:
  HANDLE release = CreateEventW(nullptr, TRUE, TRUE, nullptr);
  volatile HRESULT answer = S_OK;
  volatile LONG refs = 1;
  volatile LONG calls = 0;
  volatile LONG taken = 0;
  bool keep = true;  // false: only counted (a soak must not grow with what it sends)
  ~TestGuiObject() { CloseHandle(release); }
  std::vector<std::vector<BYTE>> Bodies() {
    AcquireSRWLockShared(&m_lock);
    auto copy = m_bodies;
    ReleaseSRWLockShared(&m_lock);
    return copy;
  }
  bool WaitForBodies(std::size_t count, DWORD timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (Bodies().size() < count) {
      if (GetTickCount64() >= deadline) return false;
      Sleep(10);
    }
    return true;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&refs)); }
  ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(InterlockedDecrement(&refs)); }
  HRESULT STDMETHODCALLTYPE SetData(FORMATETC*, STGMEDIUM* medium, BOOL fRelease) override {
    InterlockedIncrement(&calls);
    WaitForSingleObject(release, 10000);  // blocks, but not for ever
    if (answer != S_OK) return answer;  // the medium stays with the caller
    InterlockedIncrement(&taken);
    if (keep) {
      GlobalLockGuard locked(medium->hGlobal);
      const SIZE_T size = GlobalSize(medium->hGlobal);
      if (locked.locked() && size >= 20) {
        AcquireSRWLockExclusive(&m_lock);
        m_bodies.emplace_back(locked.as<BYTE>() + 16, locked.as<BYTE>() + size - 4);
        ReleaseSRWLockExclusive(&m_lock);
      }
    }
    if (fRelease) ReleaseStgMedium(medium);
    return S_OK;
  }

 private:
  SRWLOCK m_lock = SRWLOCK_INIT;
  std::vector<std::vector<BYTE>> m_bodies;
};

// Serves the object in-process under a new class for as long as it lives.
class TestGuiFactory final : public IClassFactory {
 public:
  explicit TestGuiFactory(TestGuiObject* object) : m_object(object) {
    CoCreateGuid(&clsid);
    CoRegisterClassObject(clsid, this, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &m_cookie);
  }
  ~TestGuiFactory() { CoRevokeClassObject(m_cookie); }
  CLSID clsid{};
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_INVALIDARG;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
      *ppv = static_cast<IClassFactory*>(this);
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    return m_object->QueryInterface(riid, ppv);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

 private:
  TestGuiObject* m_object;
  DWORD m_cookie = 0;
};

