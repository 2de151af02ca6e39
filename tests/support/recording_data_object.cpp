#include "support/recording_data_object.h"

#include <cstring>

namespace {
HRESULT Answer(IUnknown* self, REFIID riid, REFIID own, void** ppv) {
  if (ppv == nullptr) return E_INVALIDARG;
  *ppv = IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, own) ? self : nullptr;
  if (*ppv == nullptr) return E_NOINTERFACE;
  self->AddRef();
  return S_OK;
}
}  // namespace

HRESULT STDMETHODCALLTYPE RecordingDataObject::SetData(FORMATETC* format, STGMEDIUM* medium, BOOL release) {
  lastBlock = medium->hGlobal;
  if (FAILED(answer)) return answer;
  // Only blocks wrapped the way DataIo packets are.
  if (format->cfFormat != CF_TEXT || format->dwAspect != DVASPECT_CONTENT || format->lindex != -1 ||
      format->tymed != TYMED_HGLOBAL || format->ptd != nullptr || medium->tymed != TYMED_HGLOBAL ||
      medium->pUnkForRelease != nullptr || !release) {
    return E_INVALIDARG;
  }
  std::vector<BYTE> copy(GlobalSize(medium->hGlobal));
  std::memcpy(copy.data(), GlobalLock(medium->hGlobal), copy.size());
  GlobalUnlock(medium->hGlobal);
  ReleaseStgMedium(medium);
  packets.push_back(std::move(copy));
  return S_OK;
}

RecordingClassObject::RecordingClassObject() {
  CoCreateGuid(&clsid);
  CoRegisterClassObject(clsid, this, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER,
                        REGCLS_MULTIPLEUSE, &m_cookie);
}

IDataObject* RecordingClassObject::Connect() {
  IDataObject* p = nullptr;
  CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDataObject, reinterpret_cast<void**>(&p));
  return p;
}

HRESULT STDMETHODCALLTYPE RecordingClassObject::QueryInterface(REFIID riid, void** ppv) {
  return Answer(this, riid, IID_IClassFactory, ppv);
}

HRESULT STDMETHODCALLTYPE RecordingClassObject::CreateInstance(IUnknown* outer, REFIID riid, void** ppv) {
  if (outer != nullptr) return CLASS_E_NOAGGREGATION;
  InterlockedIncrement(&creations);
  return object.QueryInterface(riid, ppv);
}
