#include "gui/module_client.h"

#include <cstring>

#include "common/gui_wire.h"

// {1B872DBC-5A55-43B1-AFF6-4115DD5C3D44}
const CLSID CLSID_PseudoService = {0x1B872DBC, 0x5A55, 0x43B1, {0xAF, 0xF6, 0x41, 0x15, 0xDD, 0x5C, 0x3D, 0x44}};

HRESULT SendDataIo(IDataObject* object, std::uint32_t command, const void* body, std::size_t bytes) noexcept {
  if (object == nullptr) return E_POINTER;
  if (bytes > 0xFFFFFFF0u || (bytes != 0 && body == nullptr)) return E_INVALIDARG;
  UniqueHGlobal block(GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, sizeof(DataIoHeader) + bytes));
  if (!block) return E_OUTOFMEMORY;
  {
    GlobalLockGuard lock(block.get());
    if (!lock.locked()) return E_OUTOFMEMORY;
    DataIoHeader header{kDataIoSignature, kDataIoFormat, 1, 1, static_cast<std::uint32_t>(bytes), command};
    std::memcpy(lock.data(), &header, sizeof(header));
    if (bytes != 0) std::memcpy(lock.as<BYTE>() + sizeof(header), body, bytes);
  }
  FORMATETC format{CF_TEXT, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
  STGMEDIUM medium{};
  medium.tymed = TYMED_HGLOBAL;
  medium.hGlobal = block.release();
  medium.pUnkForRelease = nullptr;
  return object->SetData(&format, &medium, TRUE);
}

HRESULT CreatePseudoService(ComPtr<IDataObject>& object) noexcept {
  return CoCreateInstance(CLSID_PseudoService, nullptr, CLSCTX_INPROC_SERVER, IID_IDataObject,
                          reinterpret_cast<void**>(object.put()));
}

ComPtr<IDataObject> CreateEngineObject(const CLSID& engineClass) noexcept {
  ComPtr<IDataObject> object;
  if (FAILED(CoCreateInstance(engineClass, nullptr, CLSCTX_INPROC_SERVER, IID_IDataObject,
                              reinterpret_cast<void**>(object.put())))) {
    object.reset();
  }
  return object;
}

std::wstring RegisteredModulePath() {
  wchar_t value[MAX_PATH * 2] = {};
  LONG size = sizeof(value);
  if (RegQueryValueW(HKEY_CLASSES_ROOT, L"CLSID\\{1B872DBC-5A55-43B1-AFF6-4115DD5C3D44}\\InprocServer32", value,
                     &size) != ERROR_SUCCESS) {
    return {};
  }
  return value;
}
