#pragma once
// The pipe packet: what travels on both pipes between the module and the service. A 48-byte
// header, then dwDataSize body bytes. Little-endian numbers, UTF-16LE text.

#include <windows.h>
#include <cstddef>
#include <cstdint>

#pragma pack(push, 1)
struct PipePacket {
  std::uint32_t dwCommand;   // a 4.0 command, a pipe connection code, or 0 for the probe
  std::uint32_t dwParam;     // the command's one parameter, 0 when it has none
  WCHAR szText[16];          // text terminated inside the field, empty when unused
  WCHAR cDrive;              // drive letter the packet is about, either case; 0 when none
  std::uint16_t wReserved;   // zero when sent, ignored when received
  std::uint32_t dwDataSize;  // body bytes that follow the header
};
#pragma pack(pop)

static_assert(sizeof(WCHAR) == 2, "UTF-16 code units");
static_assert(sizeof(PipePacket) == 48, "pipe packet header is 48 bytes");
static_assert(offsetof(PipePacket, dwCommand) == 0);
static_assert(offsetof(PipePacket, dwParam) == 4);
static_assert(offsetof(PipePacket, szText) == 8);
static_assert(offsetof(PipePacket, cDrive) == 40);
static_assert(offsetof(PipePacket, wReserved) == 42);
static_assert(offsetof(PipePacket, dwDataSize) == 44);

constexpr std::uint32_t kPipeHeaderSize = sizeof(PipePacket);
// A whole packet fits in 60000 bytes: the sender's working packet and the receive buffer.
constexpr std::uint32_t kPipePacketRoom = 60000;
constexpr std::uint32_t kPipeMaxBody = kPipePacketRoom - kPipeHeaderSize;  // 59952
// The body is read in pieces of at most this many bytes.
constexpr std::uint32_t kPipeBodyChunk = 4000;

// The body that follows a header in one contiguous block.
inline BYTE* PipeBody(PipePacket* packet) noexcept { return reinterpret_cast<BYTE*>(packet) + kPipeHeaderSize; }
inline const BYTE* PipeBody(const PipePacket* packet) noexcept {
  return reinterpret_cast<const BYTE*>(packet) + kPipeHeaderSize;
}

// Pipe names.
constexpr const wchar_t* kGuiPipeLocalName = L"\\\\.\\pipe\\TarnswellGuiPipe";
constexpr const wchar_t* kGuiPipeNameFormat = L"\\\\%s\\pipe\\TarnswellGuiPipe";
constexpr const wchar_t* kControlPipeNameFormat = L"\\\\%s\\pipe\\TarnswellControlPipe";
