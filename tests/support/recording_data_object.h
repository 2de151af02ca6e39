#pragma once
// The GUI's side of DataIo traffic, played from real COM: a data object that keeps a copy of
// every block set into it, and a class object that serves it.

#include <windows.h>
#include <objidl.h>
#include <cstdint>
#include <vector>

class RecordingDataObject final : public IDataObject {
 public:
  RecordingDataObject();  // count 1
  RecordingDataObject(const RecordingDataObject&) = delete;
  RecordingDataObject& operator=(const RecordingDataObject&) = delete;

  // Each block as received: its full allocated size.
  std::vector<std::vector<BYTE>> Packets() const;
  bool WaitForPackets(std::size_t count, DWORD timeoutMs) const;
  // Later SetData calls answer `hr` (and keep nothing).
  void AnswerSetData(HRESULT hr) { m_answer = hr; }
  // The block handed to the last SetData call.
  HGLOBAL LastBlock() const { return m_lastBlock; }
  LONG RefCount() const { return m_cRef; }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE GetData(FORMATETC*, STGMEDIUM*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetDataHere(FORMATETC*, STGMEDIUM*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE QueryGetData(FORMATETC*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetCanonicalFormatEtc(FORMATETC*, FORMATETC*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetData(FORMATETC* format, STGMEDIUM* medium, BOOL release) override;
  HRESULT STDMETHODCALLTYPE EnumFormatEtc(DWORD, IEnumFORMATETC**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE DAdvise(FORMATETC*, DWORD, IAdviseSink*, DWORD*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE DUnadvise(DWORD) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE EnumDAdvise(IEnumSTATDATA**) override { return E_NOTIMPL; }

 private:
  ~RecordingDataObject();
  volatile LONG m_cRef = 1;
  HRESULT m_answer = S_OK;
  HGLOBAL m_lastBlock = nullptr;
  mutable SRWLOCK m_lock = SRWLOCK_INIT;
  std::vector<std::vector<BYTE>> m_packets;
  HANDLE m_changed;
};

// Serves one RecordingDataObject for every CreateInstance; registered with CoRegisterClassObject
// under a new class for as long as it lives.
class RecordingClassObject final : public IClassFactory {
 public:
  RecordingClassObject();
  ~RecordingClassObject();
  RecordingClassObject(const RecordingClassObject&) = delete;
  RecordingClassObject& operator=(const RecordingClassObject&) = delete;

  const CLSID& Clsid() const { return m_clsid; }
  RecordingDataObject& Object() const { return *m_object; }
  LONG Creations() const { return m_creations; }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override;
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

 private:
  CLSID m_clsid{};
  DWORD m_cookie = 0;
  RecordingDataObject* m_object;
  volatile LONG m_creations = 0;
};
