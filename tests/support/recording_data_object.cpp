#include "support/recording_data_object.h"

#include <cstring>

RecordingDataObject::RecordingDataObject() : m_changed(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}

RecordingDataObject::~RecordingDataObject() { CloseHandle(m_changed); }

HRESULT STDMETHODCALLTYPE RecordingDataObject::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_INVALIDARG;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDataObject)) {
    *ppv = static_cast<IDataObject*>(this);
    AddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE RecordingDataObject::AddRef() { return static_cast<ULONG>(InterlockedIncrement(&m_cRef)); }

ULONG STDMETHODCALLTYPE RecordingDataObject::Release() {
  const LONG count = InterlockedDecrement(&m_cRef);
  if (count == 0) delete this;
  return static_cast<ULONG>(count);
}

HRESULT STDMETHODCALLTYPE RecordingDataObject::SetData(FORMATETC* format, STGMEDIUM* medium, BOOL release) {
  m_lastBlock = medium->hGlobal;
  if (FAILED(m_answer)) return m_answer;
  if (format->cfFormat != CF_TEXT || format->dwAspect != DVASPECT_CONTENT || format->lindex != -1 ||
      format->tymed != TYMED_HGLOBAL || format->ptd != nullptr || medium->tymed != TYMED_HGLOBAL ||
      medium->pUnkForRelease != nullptr || !release) {
    return E_INVALIDARG;  // not wrapped the way DataIo packets are
  }
  const SIZE_T size = GlobalSize(medium->hGlobal);
  std::vector<BYTE> copy(size);
  if (void* data = GlobalLock(medium->hGlobal)) {
    std::memcpy(copy.data(), data, size);
    GlobalUnlock(medium->hGlobal);
  }
  ReleaseStgMedium(medium);
  AcquireSRWLockExclusive(&m_lock);
  m_packets.push_back(std::move(copy));
  ReleaseSRWLockExclusive(&m_lock);
  SetEvent(m_changed);
  return S_OK;
}

std::vector<std::vector<BYTE>> RecordingDataObject::Packets() const {
  AcquireSRWLockShared(&m_lock);
  auto copy = m_packets;
  ReleaseSRWLockShared(&m_lock);
  return copy;
}

bool RecordingDataObject::WaitForPackets(std::size_t count, DWORD timeoutMs) const {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  while (Packets().size() < count) {
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) return false;
    WaitForSingleObject(m_changed, static_cast<DWORD>(deadline - now));
  }
  return true;
}

RecordingClassObject::RecordingClassObject() : m_object(new RecordingDataObject()) {
  CoCreateGuid(&m_clsid);
  CoRegisterClassObject(m_clsid, this, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER,
                        REGCLS_MULTIPLEUSE, &m_cookie);
}

RecordingClassObject::~RecordingClassObject() {
  if (m_cookie != 0) CoRevokeClassObject(m_cookie);
  m_object->Release();
}

HRESULT STDMETHODCALLTYPE RecordingClassObject::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_INVALIDARG;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
    *ppv = static_cast<IClassFactory*>(this);
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

HRESULT STDMETHODCALLTYPE RecordingClassObject::CreateInstance(IUnknown* outer, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_INVALIDARG;
  *ppv = nullptr;
  if (outer != nullptr) return CLASS_E_NOAGGREGATION;
  InterlockedIncrement(&m_creations);
  return m_object->QueryInterface(riid, ppv);
}
