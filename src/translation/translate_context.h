#pragma once
// What one call of TranslateCommand hands to the handlers of each direction: the received
// command, already checked against the block it travelled in, and the working packet in which
// every packet for the service is built. Translation thread only.

#include <windows.h>
#include <cstdint>

#include "pipes/pipe_packet.h"
#include "translation/drive_table.h"

// A command the GUI set into one of the module's data objects.
struct GuiCommand {
  std::uint16_t command;   // 4.5 set
  WCHAR letter;            // the message letter: 0 from the pseudo-service object
  const BYTE* body;        // the DataIo body, or nullptr when none came
  std::uint32_t bodySize;  // body bytes, all inside the received block
  PipePacket* work;        // the working packet
};

// A message the service wrote into the receiving pipe.
struct ServiceMessage {
  std::uint16_t command;      // 4.0 set
  const PipePacket* packet;   // the received header
  const BYTE* body;           // the packet's body (dwDataSize bytes, all inside the block)
  std::uint32_t bodySize;     // dwDataSize, at most kPipeMaxBody
  PipePacket* work;           // the working packet
};

// Handlers of each direction. They return false for a number they do not handle.
[[nodiscard]] bool TranslateGuiCommand(const GuiCommand& command) noexcept;
[[nodiscard]] bool TranslateServiceMessage(const ServiceMessage& message) noexcept;
void TranslateVolumeData(const ServiceMessage& message) noexcept;
void TranslateDisplayData(const ServiceMessage& message) noexcept;

// Sends the working packet to the service's control pipe: its header is set to `command`,
// `drive`, `param` and `bodySize` (every other header field zero); the body, when there is
// one, has been written at PipeBody(work) already. Returns what SendData returned. With
// `announce`, a service that lost its connection to the receiving pipe after the session had
// told it where the pipe is (it restarted, or was restarted) is told again first, with the same
// ID_GUI_START, so that it connects back and its answer to the command reaches the GUI.
BOOL SendWorkPacket(PipePacket* work, std::uint32_t command, WCHAR drive = 0, std::uint32_t param = 0,
                    std::uint32_t bodySize = 0, bool announce = true) noexcept;

// The body of ID_GUI_START: the receiving pipe's name with its terminator, written at `body`
// (room for kGuiPipeNameBodyRoom bytes). Returns its size in bytes.
constexpr std::uint32_t kGuiPipeNameBodyRoom = 46 * sizeof(WCHAR);
std::uint32_t WriteGuiPipeNameBody(BYTE* body) noexcept;

// Checks shared by both directions; each traces why a command is dropped and returns false.
// `name` is the command's name for the trace.
[[nodiscard]] bool CheckBody(const wchar_t* name, const BYTE* body, std::uint32_t bodySize,
                             std::uint32_t needed) noexcept;
[[nodiscard]] DriveEntry* CheckDrive(const wchar_t* name, WCHAR letter) noexcept;
void TraceNoMemory(const wchar_t* name, std::uint32_t bytes) noexcept;

// Little-endian reads from received bodies, which need not be aligned.
[[nodiscard]] std::uint32_t ReadU32(const BYTE* at) noexcept;
[[nodiscard]] std::uint64_t ReadU64(const BYTE* at) noexcept;
[[nodiscard]] WCHAR ReadUnit(const BYTE* at) noexcept;
