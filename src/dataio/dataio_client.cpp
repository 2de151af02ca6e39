#include "dataio/dataio_client.h"

#include <cstring>
#include <cwchar>

#include "dataio/class_factory.h"
#include "dataio/dataio_packet.h"
#include "shared/message_box.h"
#include "shared/owners.h"
#include "shared/trace.h"

namespace {

// In-process, local or remote: whatever serves the class.
constexpr DWORD kDataIoContexts = CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;
static_assert(kDataIoContexts == 0x15);

}  // namespace

BOOL InitializeDataIo(REFCLSID clsid, DWORD regclsFlags, DWORD* pdwRegister, IClassFactory* factory) noexcept {
  if (factory == nullptr) factory = &g_ClassFactory;
  DWORD cookie = 0;
  const HRESULT hr = CoRegisterClassObject(clsid, factory, kDataIoContexts, regclsFlags, &cookie);
  Trace(L"InitializeDataIo::CoRegisterClassObject");
  if (FAILED(hr)) {
    TraceAlone(L"CoRegisterClassObject failed, hr = %d\n", static_cast<int>(hr));
    return FALSE;
  }
  // The caller revokes the registration by its cookie when the class goes.
  if (pdwRegister != nullptr) *pdwRegister = cookie;
  return TRUE;
}

BOOL InitializeDataIoClient(REFCLSID clsid, const wchar_t* machineName, IDataObject** ppDataObject) noexcept {
  if (ppDataObject == nullptr || *ppDataObject != nullptr) return FALSE;  // a filled slot keeps its object

  COSERVERINFO server{};
  if (machineName != nullptr && machineName[0] != L'\0') server.pwszName = const_cast<wchar_t*>(machineName);
  MULTI_QI entry{&IID_IDataObject, nullptr, S_OK};
  const HRESULT hr = CoCreateInstanceEx(clsid, nullptr, kDataIoContexts, &server, 1, &entry);
  if (FAILED(hr)) {
    UniqueCoTaskString clsidText;
    if (FAILED(StringFromCLSID(clsid, clsidText.put()))) clsidText.reset();
    wchar_t text[128];
    swprintf(text, sizeof(text) / sizeof(text[0]), L"hr = %X,rclsid = %ls", static_cast<unsigned>(hr),
             clsidText ? clsidText.get() : L"");
    // Holds the translation thread until the user closes it; its queue is left alone meanwhile.
    ShowMessageBox(text, L"CoCreateInstanceEx", MB_OK);
    TraceAlone(L"%s", text);
    return FALSE;
  }
  *ppDataObject = static_cast<IDataObject*>(entry.pItf);
  return TRUE;
}

BOOL DataIoClientSetData(std::uint32_t command, const void* data, std::uint32_t length,
                         IDataObject* pDataObject) noexcept {
  if (pDataObject == nullptr) return FALSE;
  if (length != 0 && data == nullptr) return FALSE;
  const SIZE_T size = static_cast<SIZE_T>(length) + kDataIoHeaderSize + kDataIoTrailerSize;
  if (size < length) return FALSE;  // a length near 4 GiB would wrap on 32-bit

  UniqueHGlobal block(GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, size));
  if (!block) {
    Trace(L"DataIoClientSetData - GlobalAlloc");
    return FALSE;
  }
  {
    GlobalLockGuard locked(block.get());
    if (!locked.locked()) {
      Trace(L"DataIoClientSetData - GlobalLock");
      return FALSE;
    }
    auto* header = locked.as<DataIoHeader>();
    *header = MakeDataIoHeader(command, length);
    if (length != 0) std::memcpy(DataIoBody(header), data, length);
  }

  FORMATETC format{kDataIoClipFormat, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
  STGMEDIUM medium{};
  medium.tymed = TYMED_HGLOBAL;
  medium.hGlobal = block.get();
  medium.pUnkForRelease = nullptr;
  const HRESULT hr = pDataObject->SetData(&format, &medium, TRUE);
  if (FAILED(hr)) {
    // A failed SetData leaves the medium with the caller: the block is freed with `block`.
    TraceAlone(L"DataIoClientSetData falied. hr = %X", static_cast<unsigned>(hr));
    return FALSE;
  }
  (void)block.release();  // the receiver's now
  return TRUE;
}

BOOL ExitDataIoClient(IDataObject** ppDataObject) noexcept {
  if (ppDataObject != nullptr && *ppDataObject != nullptr) {
    (*ppDataObject)->Release();
    *ppDataObject = nullptr;
  }
  return TRUE;
}
