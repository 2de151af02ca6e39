#pragma once
// PmkDataObject: the module's IDataObject. The GUI sets DataIo packets into it; each command
// is handed to the translation thread, stamped with the drive letter the object stands for.

#include <windows.h>
#include <objidl.h>
#include <cstdint>

#include "handoff/translation_message.h"

// Any COM thread. Created only by g_ClassFactory; lives until its last Release. While any
// object lives the module refuses to unload.
class PmkDataObject final : public IDataObject {
 public:
  // Count 1; `drive` is the drive the object stands for (its class object's), 0 for none;
  // `session` the session it belongs to: once that session has ended (or its exit was posted),
  // the object's commands are refused, whatever session runs then.
  PmkDataObject(WCHAR drive, SessionId session) noexcept;
  PmkDataObject(const PmkDataObject&) = delete;
  PmkDataObject& operator=(const PmkDataObject&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) noexcept override;
  ULONG STDMETHODCALLTYPE AddRef() noexcept override;
  ULONG STDMETHODCALLTYPE Release() noexcept override;

  HRESULT STDMETHODCALLTYPE GetData(FORMATETC* pformatetcIn, STGMEDIUM* pmedium) noexcept override;
  HRESULT STDMETHODCALLTYPE GetDataHere(FORMATETC* pformatetc, STGMEDIUM* pmedium) noexcept override;
  HRESULT STDMETHODCALLTYPE QueryGetData(FORMATETC* pformatetc) noexcept override;
  HRESULT STDMETHODCALLTYPE GetCanonicalFormatEtc(FORMATETC* pformatectIn, FORMATETC* pformatetcOut) noexcept override;
  // Takes a DataIo packet. With fRelease TRUE the medium is released here once its block has
  // been copied, whatever the packet turns out to be; a call refused before the copy leaves
  // the medium with the caller.
  HRESULT STDMETHODCALLTYPE SetData(FORMATETC* pformatetc, STGMEDIUM* pmedium, BOOL fRelease) noexcept override;
  HRESULT STDMETHODCALLTYPE EnumFormatEtc(DWORD dwDirection, IEnumFORMATETC** ppenumFormatEtc) noexcept override;
  HRESULT STDMETHODCALLTYPE DAdvise(FORMATETC* pformatetc, DWORD advf, IAdviseSink* pAdvSink,
                                    DWORD* pdwConnection) noexcept override;
  HRESULT STDMETHODCALLTYPE DUnadvise(DWORD dwConnection) noexcept override;
  HRESULT STDMETHODCALLTYPE EnumDAdvise(IEnumSTATDATA** ppenumAdvise) noexcept override;

  [[nodiscard]] WCHAR DriveLetter() const noexcept { return m_chDrive; }
  [[nodiscard]] SessionId Session() const noexcept { return m_session; }

 private:
  ~PmkDataObject();

  volatile LONG m_cRef;
  const WCHAR m_chDrive;
  const SessionId m_session;
  HGLOBAL m_hData;  // what GetData would hand out; nothing ever fills it
};

// The COM thread that called SetData. Posts the command to the translation thread of
// `session` with the direction flag 1 and the low byte of `driveLetter`. `packet` (from
// AllocBlock, or nullptr) passes to the translation thread with the post; when the post fails
// (another session runs, or this one has ended) it is freed here. For ID_FENUI_EXIT that was
// posted, the caller is held until the translation thread has handled (or dropped) that very
// exit, at most 30 s.
void HandleDataIoMsg(std::uint32_t command, void* packet, WCHAR driveLetter, SessionId session) noexcept;

// How long the exit hand-off waits for the translation thread.
constexpr DWORD kExitHandOffTimeoutMs = 30000;
