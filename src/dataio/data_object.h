#pragma once
// PmkDataObject: the module's IDataObject. The GUI sets DataIo packets into it; each command
// is handed to the translation thread, stamped with the drive letter the object stands for.

#include <windows.h>
#include <objidl.h>
#include <cstdint>

// Any COM thread. Created only by g_ClassFactory; lives until its last Release. While any
// object lives the module refuses to unload.
class PmkDataObject final : public IDataObject {
 public:
  // Count 1; `drive` is the drive the object stands for (its class object's), 0 for none.
  explicit PmkDataObject(WCHAR drive) noexcept;
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

 private:
  ~PmkDataObject();

  volatile LONG m_cRef;
  const WCHAR m_chDrive;
  HGLOBAL m_hData;  // what GetData would hand out; nothing ever fills it
};

// The COM thread that called SetData. Posts the command to the translation thread with the
// direction flag 1 and the low byte of `driveLetter`. `packet` (from AllocBlock, or nullptr)
// passes to the translation thread with the post; when the post fails it is freed here.
// For ID_FENUI_EXIT that was posted, the caller is held until the translation thread sets
// g_hExitEvent, at most 30 s.
void HandleDataIoMsg(std::uint32_t command, void* packet, WCHAR driveLetter) noexcept;

// How long the exit hand-off waits for the translation thread.
constexpr DWORD kExitHandOffTimeoutMs = 30000;
