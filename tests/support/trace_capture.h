#pragma once
// Collects the module's trace lines in this process, in the order they were written.

#include <windows.h>
#include <string>
#include <vector>

class TraceCapture {
 public:
  TraceCapture();
  ~TraceCapture();
  TraceCapture(const TraceCapture&) = delete;
  TraceCapture& operator=(const TraceCapture&) = delete;

  std::vector<std::wstring> Lines() const;
  // True when some line equals `text` exactly.
  bool Contains(const std::wstring& text) const;
  // True when some line contains `part`.
  bool ContainsPart(const std::wstring& part) const;
  // Number of lines equal to `text`.
  int Count(const std::wstring& text) const;
  // Waits up to `timeoutMs` for a line equal to `text`.
  bool WaitFor(const std::wstring& text, DWORD timeoutMs) const;
  void Clear();

 private:
  static void Observe(const wchar_t* line, void* context);
  mutable SRWLOCK m_lock = SRWLOCK_INIT;
  std::vector<std::wstring> m_lines;
  HANDLE m_changed;
};
