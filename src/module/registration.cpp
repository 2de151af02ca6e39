#include "module/registration.h"

#include <oleauto.h>
#include <cwchar>

#include "module/module.h"
#include "shared/owners.h"
#include "shared/trace.h"

namespace {

constexpr DWORD kModulePathChars = MAX_PATH;        // 260
constexpr DWORD kServerPathBytes = 522;             // what is read of the pseudo-service path
constexpr DWORD kKeyNameChars = 260;                // subkey names while deleting a tree
constexpr std::size_t kClassKeyChars = 6 + 39 + 16; // "CLSID\" + braced GUID + "\InProcServer32"

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

// "CLSID\{...}" for a class, and optionally a subkey behind it.
bool FormatClassKey(wchar_t (&key)[kClassKeyChars + 1], const CLSID& clsid, const wchar_t* subKey) noexcept {
  UniqueCoTaskString text;
  if (FAILED(StringFromCLSID(clsid, text.put()))) return false;
  const int written = subKey == nullptr ? swprintf(key, kClassKeyChars + 1, L"CLSID\\%ls", text.get())
                                        : swprintf(key, kClassKeyChars + 1, L"CLSID\\%ls\\%ls", text.get(), subKey);
  return written > 0;
}

CreateRegKeyFunction volatile g_createRegKey = &RegCreateKeyExW;

// Text values are written with their terminating zero.
void SetStringValue(HKEY key, const wchar_t* name, const wchar_t* text) noexcept {
  const DWORD bytes = static_cast<DWORD>((wcslen(text) + 1) * sizeof(wchar_t));
  const LONG result = RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), bytes);
  if (result != ERROR_SUCCESS) {
    Trace(L"RegisterEngineClass - RegSetValueEx %ls failed with %ld\n", name != nullptr ? name : L"(default)", result);
  }
}

UniqueHKey CreateVolatileKey(const wchar_t* path) noexcept {
  UniqueHKey key;
  const LONG result =
      g_createRegKey(HKEY_CLASSES_ROOT, path, 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr, key.put(), nullptr);
  if (result != ERROR_SUCCESS) {
    Trace(L"RegisterEngineClass - RegCreateKeyEx %ls failed with %ld\n", path, result);
    return UniqueHKey();
  }
  return key;
}

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

BOOL RegisterEngineClass(CLSID clsid, GUID appid) noexcept {
  // The server path is the one the installation registered for the pseudo-service class.
  wchar_t serverPath[kServerPathBytes / sizeof(wchar_t) + 1] = {};
  wchar_t pseudoKey[kClassKeyChars + 1];
  if (FormatClassKey(pseudoKey, CLSID_PseudoService, L"InProcServer32")) {
    LONG bytes = kServerPathBytes;
    if (RegQueryValueW(HKEY_CLASSES_ROOT, pseudoKey, serverPath, &bytes) == ERROR_SUCCESS) {
      serverPath[static_cast<std::size_t>(bytes) / sizeof(wchar_t)] = L'\0';  // terminated whatever was stored
    } else {
      serverPath[0] = L'\0';
    }
  }

  UniqueCoTaskString appidText;
  wchar_t classKey[kClassKeyChars + 1];
  wchar_t serverKey[kClassKeyChars + 1];
  if (FAILED(StringFromCLSID(appid, appidText.put())) || !FormatClassKey(classKey, clsid, nullptr) ||
      !FormatClassKey(serverKey, clsid, L"InProcServer32")) {
    return TRUE;
  }

  if (UniqueHKey key = CreateVolatileKey(classKey)) SetStringValue(key.get(), L"AppID", appidText.get());
  if (UniqueHKey key = CreateVolatileKey(serverKey)) {
    SetStringValue(key.get(), nullptr, serverPath);
    SetStringValue(key.get(), L"ThreadingModel", L"Free");
  }
  return TRUE;
}

void SetCreateRegKeyFunction(CreateRegKeyFunction function) noexcept {
  g_createRegKey = function != nullptr ? function : &RegCreateKeyExW;
}

void UnregisterEngineClass(CLSID clsid) noexcept {
  wchar_t classKey[kClassKeyChars + 1];
  if (FormatClassKey(classKey, clsid, nullptr)) (void)DeleteRegKey(HKEY_CLASSES_ROOT, classKey);
}

LONG DeleteRegKey(HKEY hParent, const wchar_t* subKey) noexcept {
  UniqueHKey key;
  LONG result = RegOpenKeyExW(hParent, subKey, 0, KEY_ALL_ACCESS, key.put());
  if (result != ERROR_SUCCESS) {
    Trace(L"DeleteRegKey - RegOpenKey");
    return result;
  }
  for (;;) {
    // Always index 0: each child is gone once it has been deleted.
    wchar_t child[kKeyNameChars];
    result = RegEnumKeyW(key.get(), 0, child, kKeyNameChars);
    if (result == ERROR_SUCCESS) {
      result = DeleteRegKey(key.get(), child);
      if (result != ERROR_SUCCESS) {
        Trace(L"DeleteRegKey - DeleteRegKey");
        return result;
      }
      continue;
    }
    if (result == ERROR_NO_MORE_ITEMS) {
      result = RegDeleteKeyW(hParent, subKey);
      if (result != ERROR_SUCCESS) Trace(L"DeleteRegKey - RegDeleteKey");
      return result;
    }
    Trace(L"DeleteRegKey - RegEnumKey");
    return result;
  }
}
