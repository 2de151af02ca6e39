#include "shared/trace.h"

#include <cstdarg>
#include <cstdio>

#include "shared/owners.h"

namespace {

// One lock keeps a pair's two lines together and makes the observer see lines in the order
// they were written. SRW locks need no construction, so tracing works from DllMain onwards.
SRWLOCK g_traceLock = SRWLOCK_INIT;
TraceObserver g_observer = nullptr;
void* g_observerContext = nullptr;
volatile LONG g_observerSet = 0;

constexpr int kLineRoom = 2048;

// Whether a line written now reaches anyone through the debug output: a debugger, or a
// debug-output monitor (which holds the "DBWIN_BUFFER" section). Without either the system
// throws the line away, yet may still spend tens of microseconds on it (Wine does: an
// exception and a named-object lookup per line); at some twenty lines per packet that cost
// set the pace of the whole bridge. Looking for a monitor is itself a named-object lookup, so
// its answer is kept for kMonitorRecheckMs: a monitor started meanwhile gets lines from the
// next check on. A debugger is asked about every time (a flag in the process, no system call).
constexpr ULONGLONG kMonitorRecheckMs = 500;
volatile LONG64 g_monitorCheckedAt = 0;  // GetTickCount64 of the last check + 1; 0 = never
volatile LONG g_monitorPresent = 0;

bool MonitorPresent() noexcept {
  for (const wchar_t* name : {L"DBWIN_BUFFER", L"Global\\DBWIN_BUFFER"}) {
    if (UniqueHandle section{OpenFileMappingW(FILE_MAP_READ, FALSE, name)}) return true;
  }
  return false;
}

bool DebugOutputWanted() noexcept {
  if (IsDebuggerPresent()) return true;
  const auto now = static_cast<LONG64>(GetTickCount64()) + 1;
  const LONG64 checkedAt = InterlockedCompareExchange64(&g_monitorCheckedAt, 0, 0);
  if (checkedAt == 0 || now - checkedAt >= static_cast<LONG64>(kMonitorRecheckMs)) {
    // Two threads may both look: each stores the same kind of answer.
    InterlockedExchange(&g_monitorPresent, MonitorPresent() ? 1 : 0);
    InterlockedExchange64(&g_monitorCheckedAt, now);
  }
  return InterlockedCompareExchange(&g_monitorPresent, 0, 0) != 0;
}

bool ObserverSet() noexcept { return InterlockedCompareExchange(&g_observerSet, 0, 0) != 0; }

// Called with g_traceLock held.
void Emit(const wchar_t* line, bool toDebugOutput) noexcept {
  if (toDebugOutput) OutputDebugStringW(line);
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
  const bool toDebugOutput = DebugOutputWanted();
  if (!toDebugOutput && !ObserverSet()) return;  // no one to take the line
  wchar_t text[kLineRoom];
  va_list args;
  va_start(args, format);
  Format(text, format, args);
  va_end(args);

  wchar_t threadLine[32];
  _snwprintf(threadLine, 31, L"Thread %d: ", static_cast<int>(GetCurrentThreadId()));
  threadLine[31] = L'\0';

  AcquireSRWLockExclusive(&g_traceLock);
  Emit(threadLine, toDebugOutput);
  Emit(text, toDebugOutput);
  ReleaseSRWLockExclusive(&g_traceLock);
}

void TraceAlone(const wchar_t* format, ...) noexcept {
  const bool toDebugOutput = DebugOutputWanted();
  if (!toDebugOutput && !ObserverSet()) return;
  wchar_t text[kLineRoom];
  va_list args;
  va_start(args, format);
  Format(text, format, args);
  va_end(args);

  AcquireSRWLockExclusive(&g_traceLock);
  Emit(text, toDebugOutput);
  ReleaseSRWLockExclusive(&g_traceLock);
}

void SetTraceObserver(TraceObserver observer, void* context) noexcept {
  AcquireSRWLockExclusive(&g_traceLock);
  g_observer = observer;
  g_observerContext = context;
  InterlockedExchange(&g_observerSet, observer != nullptr ? 1 : 0);
  ReleaseSRWLockExclusive(&g_traceLock);
}
