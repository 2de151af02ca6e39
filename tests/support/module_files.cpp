#include "support/module_files.h"

#include <objbase.h>

#include "module/module.h"

std::wstring BinDir() {
  wchar_t buffer[MAX_PATH] = {};
  const DWORD n = GetEnvironmentVariableW(L"COBALIN_BIN_DIR", buffer, MAX_PATH);
  std::wstring dir = n > 0 && n < MAX_PATH ? buffer : L".";
  // A Unix path from the build reaches Wine as is: its root is drive Z:.
  if (!dir.empty() && dir[0] == L'/') dir = L"Z:" + dir;
  for (auto& c : dir) {
    if (c == L'/') c = L'\\';
  }
  if (dir.back() != L'\\') dir += L'\\';
  return dir;
}

std::wstring BinFile(const wchar_t* relative) { return BinDir() + relative; }

std::wstring GuidText(const GUID& guid) {
  wchar_t text[40] = {};
  StringFromGUID2(guid, text, 40);
  return text;
}

PseudoServiceRegistration::PseudoServiceRegistration(const std::wstring& serverPath) {
  const std::wstring key = L"CLSID\\" + GuidText(CLSID_PseudoService) + L"\\InprocServer32";
  HKEY hkey = nullptr;
  if (RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hkey, nullptr) != 0) {
    return;
  }
  static const wchar_t kBoth[] = L"Both";
  m_ok = RegSetValueExW(hkey, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(serverPath.c_str()),
                        static_cast<DWORD>((serverPath.size() + 1) * sizeof(wchar_t))) == 0 &&
         RegSetValueExW(hkey, L"ThreadingModel", 0, REG_SZ, reinterpret_cast<const BYTE*>(kBoth), sizeof(kBoth)) == 0;
  RegCloseKey(hkey);
}

PseudoServiceRegistration::~PseudoServiceRegistration() {
  RegDeleteTreeW(HKEY_CLASSES_ROOT, (L"CLSID\\" + GuidText(CLSID_PseudoService)).c_str());
}

std::wstring ReadRegString(HKEY root, const std::wstring& key, const wchar_t* value) {
  wchar_t buffer[600] = {};
  DWORD bytes = sizeof(buffer) - sizeof(wchar_t);
  DWORD type = 0;
  if (RegGetValueW(root, key.c_str(), value, RRF_RT_ANY, &type, buffer, &bytes) != 0 || type != REG_SZ) {
    return L"<missing>";
  }
  return buffer;
}

bool RegKeyExists(HKEY root, const std::wstring& key) {
  HKEY hkey = nullptr;
  if (RegOpenKeyExW(root, key.c_str(), 0, KEY_READ, &hkey) != 0) return false;
  RegCloseKey(hkey);
  return true;
}
