#pragma once
// Plays a debug-output monitor, the way debug viewers take what OutputDebugString writes when
// no debugger is attached: the "DBWIN_BUFFER" section and the "DBWIN_BUFFER_READY" and
// "DBWIN_DATA_READY" events of this session. Every line written into it is kept (as the
// system hands it over, in ANSI).

#include <windows.h>
#include <string>
#include <vector>

#include "shared/owners.h"

class DebugMonitor {
 public:
  // Listening when Listening() is true; one monitor per session at a time.
  DebugMonitor();
  ~DebugMonitor();
  DebugMonitor(const DebugMonitor&) = delete;
  DebugMonitor& operator=(const DebugMonitor&) = delete;

  bool Listening() const { return m_thread != nullptr; }
  std::vector<std::string> Lines() const;
  std::size_t Count() const;
  // Waits up to `timeoutMs` for a line equal to `text`.
  bool WaitFor(const std::string& text, DWORD timeoutMs) const;

 private:
  static DWORD WINAPI ThreadFunc(void* self);
  void Serve();

  UniqueHandle m_section;
  UniqueHandle m_bufferReady;
  UniqueHandle m_dataReady;
  UniqueHandle m_stop;
  HANDLE m_thread = nullptr;
  const BYTE* m_view = nullptr;
  mutable SRWLOCK m_lock = SRWLOCK_INIT;
  std::vector<std::string> m_lines;
  std::size_t m_count = 0;
};
