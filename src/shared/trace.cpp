#include "shared/trace.h"

#include <cstdarg>
#include <cstdio>

namespace {

// One lock keeps a pair's two lines together and makes the observer see lines in the order
// they were written. SRW locks need no construction, so tracing works from DllMain onwards.
SRWLOCK g_traceLock = SRWLOCK_INIT;
TraceObserver g_observer = nullptr;
void* g_observerContext = nullptr;

constexpr int kLineRoom = 2048;

void Emit(const wchar_t* line) noexcept {
  OutputDebugStringW(line);
  if (g_observer != nullptr) g_observer(line, g_observerContext);
}

void Format(wchar_t (&buffer)[kLineRoom], const wchar_t* format, va_list args) noexcept {
  // _vsnwprintf leaves no terminator when the text fills the buffer: cut it safely.
  int n = _vsnwprintf(buffer, kLineRoom - 1, format, args);
  if (n < 0 || n >= kLineRoom - 1) n = kLineRoom - 1;
  buffer[n] = L'\0';
}

}  // namespace

void Trace(const wchar_t* format, ...) noexcept {
  wchar_t text[kLineRoom];
  va_list args;
  va_start(args, format);
  Format(text, format, args);
  va_end(args);

  wchar_t threadLine[32];
  _snwprintf(threadLine, 31, L"Thread %d: ", static_cast<int>(GetCurrentThreadId()));
  threadLine[31] = L'\0';

  AcquireSRWLockExclusive(&g_traceLock);
  Emit(threadLine);
  Emit(text);
  ReleaseSRWLockExclusive(&g_traceLock);
}

void TraceAlone(const wchar_t* format, ...) noexcept {
  wchar_t text[kLineRoom];
  va_list args;
  va_start(args, format);
  Format(text, format, args);
  va_end(args);

  AcquireSRWLockExclusive(&g_traceLock);
  Emit(text);
  ReleaseSRWLockExclusive(&g_traceLock);
}

void SetTraceObserver(TraceObserver observer, void* context) noexcept {
  AcquireSRWLockExclusive(&g_traceLock);
  g_observer = observer;
  g_observerContext = context;
  ReleaseSRWLockExclusive(&g_traceLock);
}
