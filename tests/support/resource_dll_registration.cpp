#include "support/resource_dll_registration.h"

#include "shared/owners.h"

namespace {
constexpr const wchar_t* kVendorKey = L"SOFTWARE\\Pellmark";
constexpr const wchar_t* kProductKey = L"SOFTWARE\\Pellmark\\TarnswellNT4";

bool KeyExists(const wchar_t* path) {
  UniqueHKey key;
  return RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, key.put()) == ERROR_SUCCESS;
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
  UniqueHKey key;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kProductKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(), nullptr) ==
      ERROR_SUCCESS) {
    RegSetValueExW(key.get(), L"ResourceDllName", 0, REG_SZ, reinterpret_cast<const BYTE*>(path.c_str()),
                   static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t)));
  }
}

void ResourceDllRegistration::Remove() {
  UniqueHKey key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProductKey, 0, KEY_SET_VALUE, key.put()) == ERROR_SUCCESS) {
    RegDeleteValueW(key.get(), L"ResourceDllName");
  }
}

std::wstring ResourceDllRegistration::ProgramFolder() {
  wchar_t path[MAX_PATH] = {};
  const std::wstring file(path, GetModuleFileNameW(nullptr, path, MAX_PATH));
  return file.substr(0, file.find_last_of(L"\\/"));
}
