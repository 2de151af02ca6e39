#pragma once
// The receiving pipe: the module's own pipe instance, on which the service writes its
// messages. The pipe thread creates an instance, waits for the service, reads packets until
// the connection ends and posts each one, in a copy of its own, to the translation thread;
// then it creates a fresh instance and listens again, for the rest of the layer's life, so
// that a service that restarts can report again.

#include <windows.h>

#include "handoff/translation_message.h"
#include "pipes/receive_pipe_security.h"

// The pipe thread's function: InPipe with no notification window on the local pipe name.
// `ready` is an event handle the thread then owns (nullptr for none): set once the receiving
// pipe exists or could not be made, so the layer's start can wait until a stale sending pipe
// has been closed (the GUI's first command opens a fresh one that must not be taken for it).
DWORD WINAPI PipeThreadFunc(void* ready);

// Pipe thread. The whole of its work: the descriptors and the buffer, then connection after
// connection until a stop is requested. Only the first listen closes a stale sending pipe and
// sets `ready`; later ones leave the sending pipe to the translation thread.
void InPipe(HWND window, const wchar_t* pipeName, HANDLE ready = nullptr) noexcept;

// Pipe thread. Creates one instance admitting whom the layer now wants and waits for a
// client. Returns the connected pipe, or INVALID_HANDLE_VALUE when the wait was cancelled or
// failed (a failure is traced and followed by a 100 ms pause). Sets `ready` (when given)
// before it waits, and on every way out.
HANDLE WaitForClientConnection(HWND window, const wchar_t* pipeName, ReceivingPipeSecurity& security,
                               HANDLE ready = nullptr) noexcept;

// Pipe thread. Reads packets into the locked 60000-byte buffer and posts them until the
// connection ends (or must end: a stop, or a stricter access list wanted).
void PipeIn(HWND window, BYTE* buffer, HANDLE pipe) noexcept;

// Any thread. Sets whom the receiving pipe is to admit, then waits at most `waitMs` until no
// instance admits anyone else: a listening instance of the other kind is replaced (its wait
// cancelled, a new one created), and a connection made under the null access list is ended
// when the access list is wanted. A connection made under the access list is kept when every
// caller is wanted: it can only be the service or an administrator. True when done in time,
// or when there is no pipe thread (the next layer starts with the access list anyway).
bool SetReceivingPipeAdmission(PipeAdmission admission, DWORD waitMs) noexcept;

// Any thread. Whom the receiving pipe is to admit now.
[[nodiscard]] PipeAdmission WantedReceivingPipeAdmission() noexcept;

// Any thread. True from the moment a service connection of this layer ended until the next
// connection arrives; false before the layer's first connection.
[[nodiscard]] bool HasServiceLostReceivingPipe() noexcept;

// Ending the pipe thread from outside. A stop request makes the thread leave at its next
// step. StopPipeThread also cancels the blocking call it is in, waits a short while, and
// terminates it only when it did not end by itself; RequestPipeThreadStop only asks and
// cancels once, for a caller that must not wait. Both take `thread` and close it.
// ResetPipeThreadStop, at the layer's start: the next pipe thread serves `session` (its packets
// are posted as that session's), starts without a stop request or a lost connection, and wants
// the access list again (the service on this computer is the common case).
void ResetPipeThreadStop(SessionId session) noexcept;
void StopPipeThread(HANDLE thread) noexcept;
void RequestPipeThreadStop(HANDLE thread) noexcept;
