#include "translation/engine_class_keys.h"

#include <objbase.h>
#include <cwchar>

#include "shared/module_identity.h"
#include "shared/owners.h"
#include "shared/trace.h"

namespace {

constexpr DWORD kServerPathBytes = 522;             // what is read of the pseudo-service path
constexpr DWORD kKeyNameChars = 260;                // subkey names while deleting a tree
constexpr std::size_t kClassKeyChars = 6 + 39 + 16; // "CLSID\" + braced GUID + "\InProcServer32"

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

}  // namespace

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
