#pragma once
// The sending pipe: commands to the service are whole pipe packets written into its control
// pipe. The local service is started on demand when its control pipe is not there.

#include <windows.h>
#include <cstddef>

#include "pipes/pipe_packet.h"

// Translation thread. Writes the 48-byte header and dwDataSize body bytes of `packet` (one
// contiguous block) into the control pipe named `pipeName`, connecting (and starting the local
// service) first when the pipe is closed. Returns 1 when every byte was written, else 0.
BOOL SendData(const PipePacket* packet, const wchar_t* pipeName) noexcept;

// Translation thread. Opens the named pipe for writing as the sending pipe. 1 or 0.
BOOL ConnectToServer(const wchar_t* pipeName) noexcept;

// Translation thread. Starts the local service "Tarnswell" unless it runs. 1 when it runs or
// has been started, else 0.
BOOL StartTarnswellService() noexcept;

// Any thread. True when the `length` characters at `part` (not terminated) are this computer's
// name, letter case ignored.
[[nodiscard]] bool IsThisComputer(const wchar_t* part, std::size_t length) noexcept;

// Test seam: what ConnectToServer opens the pipe with, in place of CreateFileW (GENERIC_WRITE,
// no sharing, OPEN_EXISTING); nullptr restores CreateFileW. Returns INVALID_HANDLE_VALUE with
// the last error on failure.
using PipeOpenFunction = HANDLE (*)(const wchar_t* name, SECURITY_ATTRIBUTES* attributes);
void SetPipeOpenFunction(PipeOpenFunction function) noexcept;
