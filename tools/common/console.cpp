#include "common/console.h"

#include <windows.h>

#include <mutex>

#include "common/text.h"

namespace {

std::mutex g_outputLock;

bool IsConsole(HANDLE h) {
  DWORD mode = 0;
  return h != nullptr && h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode) != 0;
}

void Write(DWORD which, const std::wstring& text) {
  HANDLE h = GetStdHandle(which);
  if (h == nullptr || h == INVALID_HANDLE_VALUE || text.empty()) return;
  std::lock_guard<std::mutex> lock(g_outputLock);
  if (IsConsole(h)) {
    DWORD written = 0;
    WriteConsoleW(h, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    return;
  }
  const std::string bytes = ToUtf8(text);
  DWORD written = 0;
  WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

}  // namespace

void Out(const std::wstring& text) { Write(STD_OUTPUT_HANDLE, text); }
void OutLine(const std::wstring& line) { Write(STD_OUTPUT_HANDLE, line + L"\n"); }
void ErrLine(const std::wstring& line) { Write(STD_ERROR_HANDLE, line + L"\n"); }
bool StdoutIsConsole() { return IsConsole(GetStdHandle(STD_OUTPUT_HANDLE)); }

bool ReadInputLine(std::wstring& line) {
  line.clear();
  HANDLE h = GetStdHandle(STD_INPUT_HANDLE);
  if (h == nullptr || h == INVALID_HANDLE_VALUE) return false;
  if (IsConsole(h)) {
    wchar_t buffer[1024];
    DWORD read = 0;
    if (!ReadConsoleW(h, buffer, 1024, &read, nullptr) || read == 0) return false;
    line.assign(buffer, read);
    while (!line.empty() && (line.back() == L'\n' || line.back() == L'\r')) line.pop_back();
    return true;
  }
  // A file or a pipe: read bytes up to the line end.
  std::string bytes;
  for (;;) {
    char c = 0;
    DWORD read = 0;
    if (!ReadFile(h, &c, 1, &read, nullptr) || read == 0) {
      if (bytes.empty()) return false;
      break;
    }
    if (c == '\n') break;
    if (c != '\r') bytes += c;
    if (bytes.size() > 4096) break;
  }
  line = FromUtf8(bytes);
  return true;
}
