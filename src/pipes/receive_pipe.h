#pragma once
// The receiving pipe: the module's own pipe instance, on which the service writes its
// messages. The pipe thread creates one instance, waits for the service, reads packets until
// the connection ends and posts each one, in a copy of its own, to the translation thread.

#include <windows.h>

#include "handoff/translation_message.h"

// The pipe thread's function: InPipe with no notification window on the local pipe name.
// `ready` is an event handle the thread then owns (nullptr for none): set once the receiving
// pipe exists or could not be made, so the layer's start can wait until a stale sending pipe
// has been closed (the GUI's first command opens a fresh one that must not be taken for it).
DWORD WINAPI PipeThreadFunc(void* ready);

// Pipe thread. The whole of its work: buffer, one connection, release.
void InPipe(HWND window, const wchar_t* pipeName, HANDLE ready = nullptr) noexcept;

// Pipe thread. Returns the connected pipe, or INVALID_HANDLE_VALUE on any failure. Sets
// `ready` (when given) before it waits for the service, and on every way out.
HANDLE WaitForClientConnection(HWND window, const wchar_t* pipeName, HANDLE ready = nullptr) noexcept;

// Pipe thread. Reads packets into the locked 60000-byte buffer and posts them until the
// connection ends.
void PipeIn(HWND window, BYTE* buffer, HANDLE pipe) noexcept;

// Ending the pipe thread from outside. A stop request makes the thread leave at its next
// step. StopPipeThread also cancels the blocking call it is in, waits a short while, and
// terminates it only when it did not end by itself; RequestPipeThreadStop only asks and
// cancels once, for a caller that must not wait. Both take `thread` and close it.
// ResetPipeThreadStop, at the layer's start: the next pipe thread serves `session` (its packets
// are posted as that session's) and starts without a stop request or a lost connection.
void ResetPipeThreadStop(SessionId session) noexcept;
void StopPipeThread(HANDLE thread) noexcept;
void RequestPipeThreadStop(HANDLE thread) noexcept;

// Any thread. True from the moment a connection of the service to the receiving pipe ended
// until the service connects again; false before the layer's first connection.
[[nodiscard]] bool HasServiceLostReceivingPipe() noexcept;
