#include "support/debug_monitor.h"

#include <cstring>

namespace {
constexpr DWORD kSectionSize = 4096;        // the process id, then the text
constexpr std::size_t kKeptLines = 100000;  // lines beyond are counted, not kept
constexpr DWORD kJoinMs = 5000;
}  // namespace

DebugMonitor::DebugMonitor()
    : m_section(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kSectionSize, L"DBWIN_BUFFER")),
      m_bufferReady(CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_BUFFER_READY")),
      m_dataReady(CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_DATA_READY")),
      m_stop(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
  if (!m_section || !m_bufferReady || !m_dataReady || !m_stop) return;
  m_view = static_cast<const BYTE*>(MapViewOfFile(m_section.get(), FILE_MAP_READ, 0, 0, kSectionSize));
  if (m_view == nullptr) return;
  m_thread = CreateThread(nullptr, 0, &DebugMonitor::ThreadFunc, this, 0, nullptr);
}

DebugMonitor::~DebugMonitor() {
  if (m_thread != nullptr) {
    SetEvent(m_stop.get());
    WaitForSingleObject(m_thread, kJoinMs);
    CloseHandle(m_thread);
  }
  if (m_view != nullptr) UnmapViewOfFile(m_view);
}

DWORD WINAPI DebugMonitor::ThreadFunc(void* self) {
  static_cast<DebugMonitor*>(self)->Serve();
  return 0;
}

// Monitor thread: hands the buffer out, takes each line written into it; owns nothing.
void DebugMonitor::Serve() {
  const HANDLE waits[] = {m_stop.get(), m_dataReady.get()};
  for (;;) {
    SetEvent(m_bufferReady.get());
    if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) break;
    const char* text = reinterpret_cast<const char*>(m_view + sizeof(DWORD));
    std::string line(text, strnlen(text, kSectionSize - sizeof(DWORD)));
    AcquireSRWLockExclusive(&m_lock);
    if (m_lines.size() < kKeptLines) m_lines.push_back(std::move(line));
    ++m_count;
    ReleaseSRWLockExclusive(&m_lock);
  }
}

std::vector<std::string> DebugMonitor::Lines() const {
  AcquireSRWLockShared(&m_lock);
  auto copy = m_lines;
  ReleaseSRWLockShared(&m_lock);
  return copy;
}

std::size_t DebugMonitor::Count() const {
  AcquireSRWLockShared(&m_lock);
  const std::size_t n = m_count;
  ReleaseSRWLockShared(&m_lock);
  return n;
}

bool DebugMonitor::WaitFor(const std::string& text, DWORD timeoutMs) const {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  for (;;) {
    for (const std::string& line : Lines()) {
      if (line == text) return true;
    }
    if (GetTickCount64() >= deadline) return false;
    Sleep(10);
  }
}
