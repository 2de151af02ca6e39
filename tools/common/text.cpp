#include "common/text.h"

#include <cwctype>
#include <vector>

void CopyToField(WCHAR* field, std::size_t room, const std::wstring& text) noexcept {
  if (field == nullptr || room == 0) return;
  std::size_t n = text.size() < room - 1 ? text.size() : room - 1;
  for (std::size_t i = 0; i < n; ++i) field[i] = text[i];
  for (std::size_t i = n; i < room; ++i) field[i] = L'\0';
}

std::wstring ReadField(const WCHAR* field, std::size_t room) {
  std::size_t n = 0;
  while (n < room && field[n] != L'\0') ++n;
  return std::wstring(field, n);
}

std::wstring ReadText(const void* data, std::size_t bytes) {
  const auto* p = static_cast<const WCHAR*>(data);
  return ReadField(p, bytes / sizeof(WCHAR));
}

std::string ToUtf8(const std::wstring& text) {
  if (text.empty()) return {};
  int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  if (n <= 0) return {};
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
  return out;
}

std::wstring FromUtf8(const std::string& text) {
  if (text.empty()) return {};
  int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (n <= 0) return {};
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
  return out;
}

std::wstring GroupDigits(std::uint64_t value) {
  std::wstring digits = std::to_wstring(value);
  std::wstring out;
  const std::size_t n = digits.size();
  for (std::size_t i = 0; i < n; ++i) {
    out += digits[i];
    const std::size_t rest = n - i - 1;
    if (rest > 0 && rest % 3 == 0) out += L',';
  }
  return out;
}

std::wstring HumanBytes(std::uint64_t bytes) {
  static const wchar_t* const kUnits[] = {L"KiB", L"MiB", L"GiB", L"TiB"};
  if (bytes < 1024) return std::to_wstring(bytes) + L" bytes";
  double value = static_cast<double>(bytes);
  int unit = -1;
  while (value >= 1024.0 && unit < 3) {
    value /= 1024.0;
    ++unit;
  }
  wchar_t text[64];
  _snwprintf(text, 63, L"%.1f %s", value, kUnits[unit]);
  text[63] = L'\0';
  return text;
}

std::wstring ToUpper(std::wstring text) {
  for (auto& c : text) c = static_cast<wchar_t>(std::towupper(c));
  return text;
}

std::wstring Trim(const std::wstring& text) {
  const auto first = text.find_first_not_of(L" \t\r\n");
  if (first == std::wstring::npos) return {};
  const auto last = text.find_last_not_of(L" \t\r\n");
  return text.substr(first, last - first + 1);
}

bool ContainsNoCase(const std::wstring& text, const std::wstring& part) {
  return ToUpper(text).find(ToUpper(part)) != std::wstring::npos;
}

bool ParseUnsigned(const std::wstring& text, std::uint64_t& value) {
  if (text.empty() || text.size() > 19) return false;
  std::uint64_t v = 0;
  for (wchar_t c : text) {
    if (c < L'0' || c > L'9') return false;
    v = v * 10 + static_cast<std::uint64_t>(c - L'0');
  }
  value = v;
  return true;
}

std::wstring ThisComputerName() {
  wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
  if (!GetComputerNameW(name, &size)) return {};
  return name;
}

std::wstring ProgramDirectory() {
  std::vector<wchar_t> path(MAX_PATH);
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return {};
    if (n < path.size()) {
      std::wstring full(path.data(), n);
      const auto slash = full.find_last_of(L"\\/");
      return slash == std::wstring::npos ? std::wstring() : full.substr(0, slash + 1);
    }
    path.resize(path.size() * 2);
  }
}

std::wstring Win32ErrorText(DWORD error) {
  wchar_t* text = nullptr;
  const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                     FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring out = n != 0 && text != nullptr ? Trim(std::wstring(text, n)) : std::wstring();
  if (text != nullptr) LocalFree(text);
  if (out.empty()) out = L"error " + std::to_wstring(error);
  return out;
}
