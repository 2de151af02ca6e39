#include "service/log.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "common/console.h"
#include "common/text.h"
#include "shared/owners.h"

namespace {

std::mutex g_logLock;
bool g_toConsole = false;
UniqueHandle g_file;

}  // namespace

void OpenLog(bool toConsole, const std::wstring& filePath) {
  std::lock_guard<std::mutex> lock(g_logLock);
  g_toConsole = toConsole;
  g_file.reset();
  if (!filePath.empty()) {
    g_file.reset(CreateFileW(filePath.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  }
}

void CloseLog() {
  std::lock_guard<std::mutex> lock(g_logLock);
  g_file.reset();
}

void Log(const wchar_t* format, ...) {
  wchar_t text[1024];
  va_list args;
  va_start(args, format);
  int n = _vsnwprintf(text, 1023, format, args);
  va_end(args);
  if (n < 0 || n > 1023) n = 1023;
  text[n] = L'\0';

  SYSTEMTIME now;
  GetLocalTime(&now);
  wchar_t stamp[32];
  _snwprintf(stamp, 31, L"%02u:%02u:%02u.%03u ", now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
  stamp[31] = L'\0';
  const std::wstring line = std::wstring(stamp) + L"Tarnswell: " + text;

  std::lock_guard<std::mutex> lock(g_logLock);
  if (g_toConsole) OutLine(line);
  if (g_file) {
    const std::string bytes = ToUtf8(line + L"\r\n");
    DWORD written = 0;
    WriteFile(g_file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  }
}
