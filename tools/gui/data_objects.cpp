#include "gui/data_objects.h"

#include <atomic>
#include <cstring>
#include <new>

#include "common/gui_wire.h"
#include "shared/owners.h"

namespace {

class CGuiDataObject final : public IDataObject {
 public:
  CGuiDataObject(PacketSink& sink, int drive) : m_sink(sink), m_drive(drive) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) noexcept override {
    if (ppv == nullptr) return E_INVALIDARG;
    if (riid == IID_IUnknown || riid == IID_IDataObject) {
      *ppv = static_cast<IDataObject*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() noexcept override { return static_cast<ULONG>(++m_cRef); }
  ULONG STDMETHODCALLTYPE Release() noexcept override {
    const long count = --m_cRef;
    if (count == 0) delete this;
    return static_cast<ULONG>(count);
  }

  // The module's thread: one packet. The block is copied and, with fRelease, released here.
  HRESULT STDMETHODCALLTYPE SetData(FORMATETC* format, STGMEDIUM* medium, BOOL fRelease) noexcept override {
    if (format == nullptr || medium == nullptr) return E_INVALIDARG;
    if (format->cfFormat != CF_TEXT || medium->tymed != TYMED_HGLOBAL || medium->hGlobal == nullptr) {
      return DV_E_FORMATETC;
    }
    std::uint32_t command = 0;
    std::vector<BYTE> body;
    const bool ok = ReadDataIoBlock(medium->hGlobal, command, body);
    if (fRelease) ReleaseStgMedium(medium);
    if (ok) m_sink.OnPacket(m_drive, command, std::move(body));
    return S_OK;  // a malformed packet is dropped, as the module drops them
  }

  HRESULT STDMETHODCALLTYPE GetData(FORMATETC*, STGMEDIUM*) noexcept override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetDataHere(FORMATETC*, STGMEDIUM*) noexcept override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE QueryGetData(FORMATETC* format) noexcept override {
    if (format == nullptr) return E_INVALIDARG;
    if (format->cfFormat != CF_TEXT || !(format->dwAspect & DVASPECT_CONTENT)) return DV_E_FORMATETC;
    return (format->tymed & TYMED_HGLOBAL) ? S_OK : DV_E_TYMED;
  }
  HRESULT STDMETHODCALLTYPE GetCanonicalFormatEtc(FORMATETC*, FORMATETC* out) noexcept override {
    if (out != nullptr) out->ptd = nullptr;
    return DATA_S_SAMEFORMATETC;
  }
  HRESULT STDMETHODCALLTYPE EnumFormatEtc(DWORD, IEnumFORMATETC**) noexcept override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE DAdvise(FORMATETC*, DWORD, IAdviseSink*, DWORD*) noexcept override {
    return OLE_E_ADVISENOTSUPPORTED;
  }
  HRESULT STDMETHODCALLTYPE DUnadvise(DWORD) noexcept override { return OLE_E_ADVISENOTSUPPORTED; }
  HRESULT STDMETHODCALLTYPE EnumDAdvise(IEnumSTATDATA**) noexcept override { return OLE_E_ADVISENOTSUPPORTED; }

 private:
  ~CGuiDataObject() = default;
  std::atomic<long> m_cRef{1};
  PacketSink& m_sink;
  const int m_drive;
};

class CGuiClassFactory final : public IClassFactory {
 public:
  CGuiClassFactory(PacketSink& sink, int drive) : m_sink(sink), m_drive(drive) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) noexcept override {
    if (ppv == nullptr) return E_INVALIDARG;
    if (riid == IID_IUnknown || riid == IID_IClassFactory) {
      *ppv = static_cast<IClassFactory*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() noexcept override { return static_cast<ULONG>(++m_cRef); }
  ULONG STDMETHODCALLTYPE Release() noexcept override {
    const long count = --m_cRef;
    if (count == 0) delete this;
    return static_cast<ULONG>(count);
  }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) noexcept override {
    if (ppv == nullptr) return E_INVALIDARG;
    *ppv = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    auto* object = new (std::nothrow) CGuiDataObject(m_sink, m_drive);
    if (object == nullptr) return E_OUTOFMEMORY;
    const HRESULT hr = object->QueryInterface(riid, ppv);
    object->Release();
    return hr;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) noexcept override { return S_OK; }

 private:
  ~CGuiClassFactory() = default;
  std::atomic<long> m_cRef{1};
  PacketSink& m_sink;
  const int m_drive;
};

}  // namespace

bool ReadDataIoBlock(HGLOBAL block, std::uint32_t& command, std::vector<BYTE>& body) noexcept {
  const SIZE_T size = GlobalSize(block);
  GlobalLockGuard lock(block);
  if (!lock.locked() || size < sizeof(DataIoHeader)) return false;
  DataIoHeader header;
  std::memcpy(&header, lock.data(), sizeof(header));
  if (header.Signature != kDataIoSignature || header.Format != kDataIoFormat || header.Reserved2 != 1) return false;
  if (header.BodyLength > size - sizeof(DataIoHeader)) return false;
  try {
    body.assign(lock.as<BYTE>() + sizeof(DataIoHeader), lock.as<BYTE>() + sizeof(DataIoHeader) + header.BodyLength);
  } catch (...) {
    return false;
  }
  command = header.Command;
  return true;
}

HRESULT ClassRegistry::Register(const CLSID& clsid, int drive) noexcept {
  std::lock_guard<std::mutex> lock(m_lock);
  for (const auto& e : m_entries) {
    if (IsEqualCLSID(e.clsid, clsid)) return S_OK;
  }
  auto* factory = new (std::nothrow) CGuiClassFactory(m_sink, drive);
  if (factory == nullptr) return E_OUTOFMEMORY;
  DWORD cookie = 0;
  const HRESULT hr = CoRegisterClassObject(clsid, factory, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER,
                                           REGCLS_MULTIPLEUSE, &cookie);
  factory->Release();  // COM holds its own reference while registered
  if (SUCCEEDED(hr)) {
    try {
      m_entries.push_back({clsid, cookie});
    } catch (...) {
      CoRevokeClassObject(cookie);
      return E_OUTOFMEMORY;
    }
  }
  return hr;
}

void ClassRegistry::RevokeAll() noexcept {
  std::lock_guard<std::mutex> lock(m_lock);
  for (const auto& e : m_entries) CoRevokeClassObject(e.cookie);
  m_entries.clear();
}
