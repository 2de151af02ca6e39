#pragma once
// The error-log entry point of the shared utilities. The log is disabled in this module: the
// enable flag is FALSE at load and nothing sets it, so every call returns at once, touching
// no file, mutex or other state.

#include <windows.h>

extern BOOL g_bLogEnabled;

// Any thread. `message`: not null; `status`: a status code, -1 for none; `parameter`: text or
// null. Nothing is kept from the arguments.
void WriteErrorLog(const wchar_t* message, LONG status, const wchar_t* parameter) noexcept;

// Test seam: sees every call exactly as made, on the calling thread, before the (disabled)
// log is consulted. Null removes the observer.
using ErrorLogObserver = void (*)(const wchar_t* message, LONG status, const wchar_t* parameter,
                                  void* context);
void SetErrorLogObserver(ErrorLogObserver observer, void* context) noexcept;
