// The module's registry entries at installation: its type library, registered by
// DllRegisterServer and taken back by DllUnregisterServer.

#include <windows.h>
#include <oleauto.h>
#include <olectl.h>
#include <cwchar>

#include "shared/module_identity.h"
#include "shared/owners.h"
#include "shared/trace.h"

namespace {

constexpr DWORD kModulePathChars = MAX_PATH;        // 260

// A type library owned for the scope, with the path it was loaded from.
class LoadedTypeLib {
 public:
  LoadedTypeLib() noexcept = default;
  ~LoadedTypeLib() {
    if (m_lib != nullptr) m_lib->Release();
  }
  LoadedTypeLib(const LoadedTypeLib&) = delete;
  LoadedTypeLib& operator=(const LoadedTypeLib&) = delete;

  // Loads the library from the module file's "TYPELIB" resource 1 and, failing that, from the
  // file with the module's base name and the extension ".tlb" beside it.
  HRESULT Load() noexcept {
    const DWORD length = GetModuleFileNameW(g_hInstance, m_path, kModulePathChars);
    if (length == 0 || length >= kModulePathChars) return HRESULT_FROM_WIN32(ERROR_BAD_PATHNAME);
    HRESULT hr = LoadTypeLib(m_path, &m_lib);
    if (SUCCEEDED(hr)) return hr;

    // The extension is what follows the last '.' of the file name; a '.' in a directory
    // name is not one.
    std::size_t cut = length;
    for (std::size_t i = length; i > 0; --i) {
      const wchar_t c = m_path[i - 1];
      if (c == L'\\' || c == L'/' || c == L':') break;
      if (c == L'.') {
        cut = i - 1;
        break;
      }
    }
    constexpr wchar_t kExtension[] = L".tlb";
    if (cut + (sizeof(kExtension) / sizeof(wchar_t)) > kModulePathChars) return hr;
    wcscpy(m_path + cut, kExtension);
    return LoadTypeLib(m_path, &m_lib);
  }

  [[nodiscard]] ITypeLib* get() const noexcept { return m_lib; }
  [[nodiscard]] const wchar_t* path() const noexcept { return m_path; }

 private:
  ITypeLib* m_lib = nullptr;
  wchar_t m_path[kModulePathChars + 1] = {};
};

// The registering tool's thread. The result of loading or registering the type library.
HRESULT RegisterTypeLibrary() noexcept {
  Trace(L"DllRegisterServer\n");
  LoadedTypeLib library;
  const HRESULT hr = library.Load();
  if (FAILED(hr)) return hr;

  // The help directory is the library's directory, its separator kept.
  wchar_t helpDir[kModulePathChars + 1];
  wcscpy(helpDir, library.path());
  std::size_t keep = 0;
  for (std::size_t i = 0; helpDir[i] != L'\0'; ++i) {
    if (helpDir[i] == L'\\' || helpDir[i] == L'/' || helpDir[i] == L':') keep = i + 1;
  }
  helpDir[keep] = L'\0';

  return RegisterTypeLib(library.get(), const_cast<wchar_t*>(library.path()), helpDir);
}

// The registering tool's thread. Always S_OK.
HRESULT UnregisterTypeLibrary() noexcept {
  Trace(L"DllUnregisterServer\n");
  LoadedTypeLib library;
  if (FAILED(library.Load())) return S_OK;

  TLIBATTR* attributes = nullptr;
  if (FAILED(library.get()->GetLibAttr(&attributes)) || attributes == nullptr) return S_OK;

  using UnRegisterTypeLibFunction = HRESULT(WINAPI*)(REFGUID, WORD, WORD, LCID, SYSKIND);
  UniqueModule oleaut(LoadLibraryW(L"oleaut32.dll"));
  if (oleaut) {
    if (FARPROC proc = GetProcAddress(oleaut.get(), "UnRegisterTypeLib")) {
      auto unregister = reinterpret_cast<UnRegisterTypeLibFunction>(reinterpret_cast<void*>(proc));
      unregister(attributes->guid, attributes->wMajorVerNum, attributes->wMinorVerNum, attributes->lcid,
                 attributes->syskind);
    }
  }
  library.get()->ReleaseTLibAttr(attributes);
  return S_OK;
}

}  // namespace

STDAPI DllRegisterServer() { return RegisterTypeLibrary(); }

STDAPI DllUnregisterServer() { return UnregisterTypeLibrary(); }
