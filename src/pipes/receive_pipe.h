#pragma once
// The receiving pipe: the module's own pipe instance, on which the service writes its
// messages. The pipe thread creates one instance, waits for the service, reads packets until
// the connection ends and posts each one, in a copy of its own, to the translation thread.

#include <windows.h>

// The pipe thread's function: InPipe with no notification window on the local pipe name.
DWORD WINAPI PipeThreadFunc(void* unused);

// Pipe thread. The whole of its work: buffer, one connection, release.
void InPipe(HWND window, const wchar_t* pipeName) noexcept;

// Pipe thread. Returns the connected pipe, or INVALID_HANDLE_VALUE on any failure.
HANDLE WaitForClientConnection(HWND window, const wchar_t* pipeName) noexcept;

// Pipe thread. Reads packets into the locked 60000-byte buffer and posts them until the
// connection ends.
void PipeIn(HWND window, BYTE* buffer, HANDLE pipe) noexcept;

// Ending the pipe thread from outside. A stop request makes the thread leave at its next
// step; StopPipeThread also cancels the blocking call it is in, waits a short while, and
// terminates it only when it did not end by itself. Closes and clears the handle.
void ResetPipeThreadStop() noexcept;
[[nodiscard]] bool IsPipeThreadStopRequested() noexcept;
void StopPipeThread(HANDLE& thread) noexcept;
