#include "dataio/data_object.h"

#include <cstring>

#include "dataio/caller_checks.h"
#include "dataio/data_object_count.h"
#include "dataio/dataio_packet.h"
#include "handoff/commands.h"
#include "handoff/translation_message.h"
#include "pipes/remote_pipe.h"
#include "shared/block.h"
#include "shared/owners.h"
#include "shared/trace.h"

namespace {

// ID_INIT_PIPE_COM: the body names the machine whose service the GUI wants to drive. Runs the
// checks and the pipe set-up on the caller's thread; TRUE when all three succeed.
bool ConnectToMachine(const DataIoHeader* packet, SessionId session) noexcept {
  // A name must be there, terminated inside the body.
  const auto* name = reinterpret_cast<const wchar_t*>(DataIoBody(packet));
  const std::uint32_t units = packet->BodyLength / sizeof(wchar_t);
  bool terminated = false;
  for (std::uint32_t i = 0; i < units && !terminated; ++i) terminated = name[i] == L'\0';
  if (!terminated) {
    Trace(L"PmkDataObject::SetData - ID_INIT_PIPE_COM without a terminated machine name\n");
    return false;
  }
  return IsAdministrator() && GetServiceBuildNumber(name, nullptr) && InitializeRemotePipe(name, session);
}

}  // namespace

PmkDataObject::PmkDataObject(WCHAR drive, SessionId session) noexcept
    : m_cRef(1), m_chDrive(drive), m_session(session), m_hData(nullptr) {
  TraceAlone(L"PmkDataObject::PmkDataObject for drive = %c\n", m_chDrive);
  DataObjectCreated();
}

PmkDataObject::~PmkDataObject() {
  TraceAlone(L"PmkDataObject::~PmkDataObject\n");
  if (m_hData != nullptr) GlobalFree(m_hData);
  DataObjectDestroyed();
}

HRESULT STDMETHODCALLTYPE PmkDataObject::QueryInterface(REFIID riid, void** ppv) noexcept {
  if (ppv == nullptr) return E_INVALIDARG;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDataObject)) {
    *ppv = static_cast<IDataObject*>(this);
    AddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE PmkDataObject::AddRef() noexcept { return static_cast<ULONG>(InterlockedIncrement(&m_cRef)); }

ULONG STDMETHODCALLTYPE PmkDataObject::Release() noexcept {
  const LONG count = InterlockedDecrement(&m_cRef);
  if (count != 0) return static_cast<ULONG>(count);
  delete this;
  TraceAlone(L"PmkDataObject::Release : m_cRef == 0\n");
  return 0;
}

HRESULT STDMETHODCALLTYPE PmkDataObject::GetData(FORMATETC* pformatetcIn, STGMEDIUM* pmedium) noexcept {
  if (pformatetcIn == nullptr || pmedium == nullptr) return E_INVALIDARG;
  if ((pformatetcIn->dwAspect & DVASPECT_CONTENT) == 0 || pformatetcIn->cfFormat != kDataIoClipFormat ||
      (pformatetcIn->tymed & TYMED_HGLOBAL) == 0) {
    return DV_E_FORMATETC;
  }
  pmedium->tymed = TYMED_HGLOBAL;
  pmedium->pUnkForRelease = nullptr;
  const SIZE_T size = m_hData != nullptr ? GlobalSize(m_hData) : 0;
  UniqueHGlobal copy(GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, size));
  pmedium->hGlobal = copy.get();
  if (!copy) {
    Trace(L"PmkDataObject::GetData - GlobalAlloc");
    return E_FAIL;
  }
  {
    GlobalLockGuard target(copy.get());
    GlobalLockGuard source(m_hData);
    if (!target.locked() || !source.locked()) {
      Trace(L"PmkDataObject::GetData - GlobalLock");
      // A failed call hands nothing out: the block goes, and the medium is left empty.
      pmedium->tymed = TYMED_NULL;
      pmedium->hGlobal = nullptr;
      return E_FAIL;
    }
    std::memcpy(target.data(), source.data(), size);
  }
  (void)copy.release();  // now the caller's, through the medium
  return S_OK;
}

HRESULT STDMETHODCALLTYPE PmkDataObject::GetDataHere(FORMATETC*, STGMEDIUM*) noexcept { return E_NOTIMPL; }

HRESULT STDMETHODCALLTYPE PmkDataObject::QueryGetData(FORMATETC* pformatetc) noexcept {
  if (pformatetc == nullptr) return E_INVALIDARG;
  if ((pformatetc->dwAspect & DVASPECT_CONTENT) == 0) return DV_E_FORMATETC;
  if (pformatetc->cfFormat != kDataIoClipFormat) return DV_E_FORMATETC;
  if ((pformatetc->tymed & TYMED_HGLOBAL) == 0) return DV_E_TYMED;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE PmkDataObject::GetCanonicalFormatEtc(FORMATETC*, FORMATETC*) noexcept {
  return DATA_S_SAMEFORMATETC;
}

HRESULT STDMETHODCALLTYPE PmkDataObject::SetData(FORMATETC* pformatetc, STGMEDIUM* pmedium, BOOL fRelease) noexcept {
  if (pformatetc == nullptr || pmedium == nullptr) return E_INVALIDARG;
  // Refused before anything is taken: the medium stays with the caller.
  if (pformatetc->cfFormat != kDataIoClipFormat || pformatetc->tymed != TYMED_HGLOBAL ||
      pmedium->tymed != TYMED_HGLOBAL || pmedium->hGlobal == nullptr) {
    return E_FAIL;
  }

  // The module's own copy of the whole block, whatever its allocated size.
  const SIZE_T size = GlobalSize(pmedium->hGlobal);
  UniqueBlock copy(static_cast<BYTE*>(AllocBlock(size)));
  if (!copy) {
    Trace(L"PmkDataObject::SetData - GlobalAlloc");
    return E_FAIL;
  }
  {
    GlobalLockGuard source(pmedium->hGlobal);
    if (!source.locked()) {
      Trace(L"PmkDataObject::SetData - GlobalLock");
      return E_FAIL;
    }
    std::memcpy(copy.get(), source.data(), size);
  }
  const auto* header = reinterpret_cast<const DataIoHeader*>(copy.get());
  const DataIoCheck check = CheckDataIoPacket(copy.get(), size);
  if (check != DataIoCheck::kMalformed && header->Command == TW4_5::ID_INIT_PIPE_COM) {
    // Handled here on the caller's thread, never by the translation thread. The block was
    // copied: with the release flag it is ours, whether the connection is made or not (a GUI
    // sets every packet so and never frees one). A body that runs past its block names no
    // machine: that fails too.
    if (fRelease) ReleaseStgMedium(pmedium);
    const bool connected = check == DataIoCheck::kValid && header->BodyLength != 0 && ConnectToMachine(header, m_session);
    if (!connected) {
      Trace(L"PmkDataObject::SetData - ID_INIT_PIPE_COM failed\n");
      return E_FAIL;
    }
    return S_OK;
  }
  // The block is ours now, whatever the packet turns out to be.
  if (fRelease) ReleaseStgMedium(pmedium);

  switch (check) {
    case DataIoCheck::kValid:
      break;
    case DataIoCheck::kMalformed:
      // Not a DataIo packet: ignored, and said so, as every other block the caller gets rid of.
      Trace(L"PmkDataObject::SetData - block of %u bytes is no DataIo packet; ignored\n", static_cast<unsigned>(size));
      return S_OK;
    case DataIoCheck::kTruncated:
      Trace(L"PmkDataObject::SetData - body of %u bytes does not fit a block of %u bytes; packet dropped\n",
            reinterpret_cast<const DataIoHeader*>(copy.get())->BodyLength, static_cast<unsigned>(size));
      return S_OK;
  }
  const std::uint32_t command = header->Command;
  if (command > 0xFFFF) {
    // Its upper bytes would land in the direction flag and the letter byte of the message.
    Trace(L"PmkDataObject::SetData - command %u is no command; packet dropped\n", command);
    return S_OK;
  }

  // A command without a body travels without a packet.
  if (header->BodyLength == 0) copy.reset();
  HandleDataIoMsg(command, copy.release(), m_chDrive, m_session);
  Trace(L"PmkDataObject::SetData S_OK\n");
  return S_OK;
}

HRESULT STDMETHODCALLTYPE PmkDataObject::EnumFormatEtc(DWORD, IEnumFORMATETC** ppenumFormatEtc) noexcept {
  if (ppenumFormatEtc != nullptr) *ppenumFormatEtc = nullptr;
  return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE PmkDataObject::DAdvise(FORMATETC*, DWORD, IAdviseSink*, DWORD*) noexcept {
  return OLE_E_ADVISENOTSUPPORTED;
}

HRESULT STDMETHODCALLTYPE PmkDataObject::DUnadvise(DWORD) noexcept { return OLE_E_ADVISENOTSUPPORTED; }

HRESULT STDMETHODCALLTYPE PmkDataObject::EnumDAdvise(IEnumSTATDATA**) noexcept { return OLE_E_ADVISENOTSUPPORTED; }

void HandleDataIoMsg(std::uint32_t command, void* packet, WCHAR driveLetter, SessionId session) noexcept {
  UniqueBlock owned(static_cast<BYTE*>(packet));
  const std::uint32_t first =
      MakeTranslationParam(static_cast<std::uint16_t>(command & 0xFFFF), kFromGui, driveLetter);
  const bool exitHandOff = command == TW4_5::ID_FENUI_EXIT;

  if (exitHandOff) {
    TraceAlone(L"Calling ID_FENUI_EXIT in HandleDataIoMsg()\n");
    Trace(L"Posting Message %s(%d) from 4.5 GUI to TL\n", GetCommandName4_5(command), static_cast<int>(command));
  }
  std::uint64_t exitTicket = 0;
  const bool posted = PostTranslationMessage(first, owned.get(), session, nullptr, &exitTicket) != FALSE;
  if (posted) {
    (void)owned.release();  // the translation thread's now
  } else {
    const DWORD error = GetLastError();
    Trace(L"PostThreadMessage failed error = %d g_dwTLThreadId = %d\n", static_cast<int>(error),
          static_cast<int>(g_dwTLThreadId));
    // The command is lost; its packet is freed with `owned`.
  }
  if (exitHandOff) {
    // Held until the translation thread has handled this exit (or dropped it, for a layer that
    // is going down). An exit that never reached it has nothing to wait for.
    if (posted) WaitForExitHandled(exitTicket, kExitHandOffTimeoutMs);
    TraceAlone(L"Returning from ID_FENUI_EXIT in HandleDataIoMsg()\n");
  }
}
