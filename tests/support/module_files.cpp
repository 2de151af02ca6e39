#include "support/module_files.h"

#include <objbase.h>

#include "shared/module_identity.h"

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
  HKEY hkey = nullptr;
  if (RegOpenKeyExW(root, key.c_str(), 0, KEY_QUERY_VALUE, &hkey) != 0) return L"<missing>";
  // The bytes as stored: RegGetValueW would add a terminator that the writer left out.
  BYTE raw[1200] = {};
  DWORD bytes = sizeof(raw);
  DWORD type = 0;
  const LONG result = RegQueryValueExW(hkey, value, nullptr, &type, raw, &bytes);
  RegCloseKey(hkey);
  if (result != 0 || type != REG_SZ) return L"<missing>";
  std::wstring text(reinterpret_cast<const wchar_t*>(raw), bytes / sizeof(wchar_t));
  const std::size_t end = text.find(L'\0');
  if (bytes % sizeof(wchar_t) != 0 || end == std::wstring::npos || end + 1 != text.size()) {
    return text.substr(0, end) + L"<stored in " + std::to_wstring(bytes) + L" bytes without its terminator at the end>";
  }
  text.pop_back();
  return text;
}

bool RegKeyExists(HKEY root, const std::wstring& key) {
  HKEY hkey = nullptr;
  if (RegOpenKeyExW(root, key.c_str(), 0, KEY_READ, &hkey) != 0) return false;
  RegCloseKey(hkey);
  return true;
}
