#pragma once
// The listening end of the standard debug-output protocol. A writer (OutputDebugString in any
// process of this session) waits for DBWIN_BUFFER_READY, puts its process id and its text into
// the shared DBWIN_BUFFER and sets DBWIN_DATA_READY; the listener takes the text and sets
// DBWIN_BUFFER_READY again. Only one listener can hold the protocol at a time.

#include <windows.h>

#include <memory>
#include <string>

#include "shared/owners.h"

class DbwinListener {
 public:
  enum class OpenResult { Ok, Busy, Failed };
  // Creates the events and the shared buffer. Busy: another listener holds them.
  OpenResult Open();
  // Waits at most `timeoutMs` for one line. True with the writer's process id and text.
  bool Next(DWORD timeoutMs, DWORD& pid, std::wstring& text);

 private:
  UniqueHandle m_bufferReady, m_dataReady, m_mapping;
  const BYTE* m_view = nullptr;
  struct ViewDeleter {
    void operator()(const void* p) const { UnmapViewOfFile(p); }
  };
  std::unique_ptr<const void, ViewDeleter> m_viewOwner;
};
