#pragma once
// The module's debug trace. Every line goes to OutputDebugStringW, where a debug-output
// viewer picks it up. The usual form is a pair: a line "Thread %d: " with the calling
// thread's id, then the text. Lines of one pair are never separated by another thread's.
//
// Formats use the Windows wide conventions: %s is a wide string, %c a wide character,
// %d/%ld/%X 32-bit numbers. Addresses are passed as TraceAddress(p).

#include <windows.h>

// A trace pair: "Thread %d: " then the formatted text.
void Trace(const wchar_t* format, ...) noexcept;

// A line written alone, without the thread line.
void TraceAlone(const wchar_t* format, ...) noexcept;

// An address as the trace prints it: a signed decimal number of its low 32 bits.
inline int TraceAddress(const void* p) noexcept { return static_cast<int>(reinterpret_cast<INT_PTR>(p)); }

// Test seam: sees every line exactly as written to the debug output, in order.
using TraceObserver = void (*)(const wchar_t* line, void* context);
void SetTraceObserver(TraceObserver observer, void* context) noexcept;
