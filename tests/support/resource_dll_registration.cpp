#include "support/resource_dll_registration.h"

namespace {
constexpr const wchar_t* kVendorKey = L"SOFTWARE\\Pellmark";
constexpr const wchar_t* kProductKey = L"SOFTWARE\\Pellmark\\TarnswellNT4";
constexpr const wchar_t* kValueName = L"ResourceDllName";

bool KeyExists(const wchar_t* path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}
}  // namespace

ResourceDllRegistration::ResourceDllRegistration(const std::wstring& path)
    : m_createdVendorKey(!KeyExists(kVendorKey)), m_createdProductKey(!KeyExists(kProductKey)) {
  Set(path);
}

ResourceDllRegistration::~ResourceDllRegistration() {
  Remove();
  if (m_createdProductKey) RegDeleteKeyW(HKEY_LOCAL_MACHINE, kProductKey);
  if (m_createdVendorKey) RegDeleteKeyW(HKEY_LOCAL_MACHINE, kVendorKey);
}

void ResourceDllRegistration::Set(const std::wstring& path) {
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kProductKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) !=
      ERROR_SUCCESS) {
    return;
  }
  RegSetValueExW(key, kValueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(path.c_str()),
                 static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
}

void ResourceDllRegistration::Remove() {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProductKey, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) return;
  RegDeleteValueW(key, kValueName);
  RegCloseKey(key);
}

std::wstring ResourceDllRegistration::ProgramFolder() {
  wchar_t path[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder(path, length);
  const auto slash = folder.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring(L".") : folder.substr(0, slash);
}
