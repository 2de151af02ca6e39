#include "support/trace_capture.h"

#include <algorithm>

#include "shared/trace.h"

TraceCapture::TraceCapture() : m_changed(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {
  SetTraceObserver(&TraceCapture::Observe, this);
}

TraceCapture::~TraceCapture() {
  SetTraceObserver(nullptr, nullptr);
  CloseHandle(m_changed);
}

void TraceCapture::Observe(const wchar_t* line, void* context) {
  auto* self = static_cast<TraceCapture*>(context);
  AcquireSRWLockExclusive(&self->m_lock);
  self->m_lines.emplace_back(line);
  ReleaseSRWLockExclusive(&self->m_lock);
  SetEvent(self->m_changed);
}

std::vector<std::wstring> TraceCapture::Lines() const {
  AcquireSRWLockShared(&m_lock);
  std::vector<std::wstring> copy = m_lines;
  ReleaseSRWLockShared(&m_lock);
  return copy;
}

bool TraceCapture::Contains(const std::wstring& text) const { return Count(text) > 0; }

bool TraceCapture::ContainsPart(const std::wstring& part) const {
  const auto lines = Lines();
  return std::any_of(lines.begin(), lines.end(),
                     [&](const std::wstring& l) { return l.find(part) != std::wstring::npos; });
}

int TraceCapture::Count(const std::wstring& text) const {
  const auto lines = Lines();
  return static_cast<int>(std::count(lines.begin(), lines.end(), text));
}

bool TraceCapture::WaitFor(const std::wstring& text, DWORD timeoutMs) const {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  for (;;) {
    if (Contains(text)) return true;
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) return false;
    WaitForSingleObject(m_changed, static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, 50)));
  }
}

void TraceCapture::Clear() {
  AcquireSRWLockExclusive(&m_lock);
  m_lines.clear();
  ReleaseSRWLockExclusive(&m_lock);
}
