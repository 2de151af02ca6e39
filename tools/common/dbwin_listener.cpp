#include "common/dbwin_listener.h"

namespace {
constexpr DWORD kBufferSize = 4096;
}

DbwinListener::OpenResult DbwinListener::Open() {
  m_bufferReady.reset(CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_BUFFER_READY"));
  if (!m_bufferReady) return OpenResult::Failed;
  if (GetLastError() == ERROR_ALREADY_EXISTS) return OpenResult::Busy;
  m_dataReady.reset(CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_DATA_READY"));
  if (!m_dataReady) return OpenResult::Failed;
  if (GetLastError() == ERROR_ALREADY_EXISTS) return OpenResult::Busy;
  m_mapping.reset(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kBufferSize, L"DBWIN_BUFFER"));
  if (!m_mapping) return OpenResult::Failed;
  if (GetLastError() == ERROR_ALREADY_EXISTS) return OpenResult::Busy;
  const void* view = MapViewOfFile(m_mapping.get(), FILE_MAP_READ, 0, 0, kBufferSize);
  if (view == nullptr) return OpenResult::Failed;
  m_viewOwner.reset(view);
  m_view = static_cast<const BYTE*>(view);
  SetEvent(m_bufferReady.get());  // the first writer may go
  return OpenResult::Ok;
}

bool DbwinListener::Next(DWORD timeoutMs, DWORD& pid, std::wstring& text) {
  if (m_view == nullptr) return false;
  if (WaitForSingleObject(m_dataReady.get(), timeoutMs) != WAIT_OBJECT_0) return false;
  DWORD writer = 0;
  memcpy(&writer, m_view, sizeof(writer));
  // The text is the writer's ANSI string, terminated inside the buffer (or cut at its end).
  const char* ansi = reinterpret_cast<const char*>(m_view + sizeof(DWORD));
  const std::size_t room = kBufferSize - sizeof(DWORD);
  std::size_t length = 0;
  while (length < room && ansi[length] != '\0') ++length;
  std::wstring wide;
  if (length > 0) {
    const int n = MultiByteToWideChar(CP_ACP, 0, ansi, static_cast<int>(length), nullptr, 0);
    if (n > 0) {
      wide.resize(static_cast<std::size_t>(n));
      MultiByteToWideChar(CP_ACP, 0, ansi, static_cast<int>(length), wide.data(), n);
    }
  }
  SetEvent(m_bufferReady.get());  // the buffer is free for the next writer
  pid = writer;
  text = std::move(wide);
  return true;
}
