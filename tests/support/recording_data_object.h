#pragma once
// The GUI's side of DataIo traffic, played from real COM: a data object that keeps a copy of
// every block set into it, served by a class object registered under a new class.

#include <windows.h>
#include <objidl.h>
#include <vector>

#include "support/played_data_object.h"

class RecordingDataObject final : public PlayedDataObject {
 public:
  std::vector<std::vector<BYTE>> packets;  // each block whole, as received
  HRESULT answer = S_OK;                   // what SetData answers; a failure keeps nothing
  HGLOBAL lastBlock = nullptr;             // the block of the last SetData
  volatile LONG refs = 1;

  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&refs)); }
  ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(InterlockedDecrement(&refs)); }
  HRESULT STDMETHODCALLTYPE SetData(FORMATETC* format, STGMEDIUM* medium, BOOL release) override;
};

// Registered (contexts 0x15, multiple use) for as long as it lives; hands out `object`.
class RecordingClassObject final : public IClassFactory {
 public:
  RecordingClassObject();
  ~RecordingClassObject() { CoRevokeClassObject(m_cookie); }
  RecordingClassObject(const RecordingClassObject&) = delete;
  RecordingClassObject& operator=(const RecordingClassObject&) = delete;

  RecordingDataObject object;
  CLSID clsid{};
  volatile LONG creations = 0;
  // A new reference to `object` through COM activation of `clsid`.
  IDataObject* Connect();

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override;
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

 private:
  DWORD m_cookie = 0;
};
