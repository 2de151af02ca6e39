#pragma once
// The sending pipe's handle, g_hPipeOut: one module-wide handle to the service's control pipe,
// INVALID_HANDLE_VALUE when closed. The translation thread opens and writes it; the pipe
// thread and the translation thread both close it. One lock around the handle's life keeps a
// close from landing in the middle of a write and makes a second close a no-op.

#include <windows.h>

// True while the sending pipe is open.
[[nodiscard]] bool IsPipeOutOpen() noexcept;

// Installs a newly opened handle (the translation thread, after a successful open) with the
// name it was opened by. An earlier handle still held is closed first.
void SetPipeOut(HANDLE pipe, const wchar_t* name) noexcept;

// True while the sending pipe is open and was opened by `name` (letter case ignored, as
// computer names are compared).
[[nodiscard]] bool IsPipeOutOpenTo(const wchar_t* name) noexcept;

// Writes bytes into the open sending pipe with one WriteFile. Returns FALSE with
// ERROR_INVALID_HANDLE when the pipe is closed; otherwise what WriteFile returned, with its
// last error and the count written.
BOOL WritePipeOut(const void* data, DWORD bytes, DWORD* written) noexcept;

// Closes the sending pipe if it is open, marks it closed, then sleeps 100 ms.
void ClosePipeOut() noexcept;

// Test seam: what WritePipeOut writes with, in place of WriteFile; nullptr restores WriteFile.
// Wine never fails a pipe write with ERROR_BROKEN_PIPE, which Windows can.
using PipeWriteFunction = BOOL (*)(HANDLE pipe, const void* data, DWORD bytes, DWORD* written);
void SetPipeWriteFunction(PipeWriteFunction function) noexcept;
