#include "translation/translate_command.h"

#include <cstring>

#include "dataio/dataio_packet.h"
#include "pipes/pipe_packet.h"
#include "pipes/remote_pipe.h"
#include "pipes/receive_pipe.h"
#include "pipes/send_pipe.h"
#include "shared/block.h"
#include "shared/trace.h"
#include "handoff/commands.h"
#include "translation/drive_table.h"
#include "translation/text_field.h"
#include "translation/translate_context.h"
#include "handoff/translation_message.h"

namespace {

// The working packet. TranslateCommand runs only on the translation thread, one call at a
// time (nothing it calls pumps that thread's queue: message boxes run on threads of their
// own), so one buffer owned by that thread serves every call. Zeroed on entry to each call.
alignas(8) BYTE g_workingPacket[kPipePacketRoom];

// A GUI command's block: the DataIo header, then BodyLength body bytes, all of them inside
// the block. False when the header or the body it announces did not travel.
bool TakeGuiBody(const BYTE* block, std::size_t blockSize, GuiCommand& command) noexcept {
  if (block == nullptr) return true;  // a command without a body
  if (blockSize < kDataIoHeaderSize) return false;
  const std::uint32_t bodyLength = ReadU32(block + offsetof(DataIoHeader, BodyLength));
  if (bodyLength > blockSize - kDataIoHeaderSize) return false;
  if (bodyLength != 0) command.body = block + kDataIoHeaderSize;
  command.bodySize = bodyLength;
  return true;
}

// A service message's block: the 48-byte header, then dwDataSize body bytes inside it. False
// when no whole packet travelled.
bool TakeServiceBody(const BYTE* block, std::size_t blockSize, ServiceMessage& message) noexcept {
  if (block == nullptr || blockSize < kPipeHeaderSize) return false;
  const auto* packet = reinterpret_cast<const PipePacket*>(block);
  // No packet is larger than the room both ends give it.
  if (packet->dwDataSize > blockSize - kPipeHeaderSize || packet->dwDataSize > kPipeMaxBody) return false;
  message.packet = packet;
  message.body = PipeBody(packet);
  message.bodySize = packet->dwDataSize;
  return true;
}

}  // namespace

std::uint32_t ReadU32(const BYTE* at) noexcept {
  std::uint32_t value;
  std::memcpy(&value, at, sizeof(value));
  return value;
}

std::uint64_t ReadU64(const BYTE* at) noexcept {
  std::uint64_t value;
  std::memcpy(&value, at, sizeof(value));
  return value;
}

WCHAR ReadUnit(const BYTE* at) noexcept {
  WCHAR value;
  std::memcpy(&value, at, sizeof(value));
  return value;
}

std::uint32_t WriteGuiPipeNameBody(BYTE* body) noexcept {
  WCHAR guiPipeName[ARRAYSIZE(g_szGuiPipeName)];
  static_assert(sizeof(guiPipeName) == kGuiPipeNameBodyRoom);
  CopyGuiPipeName(guiPipeName);
  const std::size_t length = TextFieldLength(guiPipeName, ARRAYSIZE(guiPipeName));  // terminated by the copy
  std::memcpy(body, guiPipeName, length * sizeof(WCHAR));
  std::memset(body + length * sizeof(WCHAR), 0, sizeof(WCHAR));
  return static_cast<std::uint32_t>((length + 1) * sizeof(WCHAR));
}

BOOL SendWorkPacket(PipePacket* work, std::uint32_t command, WCHAR drive, std::uint32_t param,
                    std::uint32_t bodySize, bool announce) noexcept {
  WCHAR pipeName[ARRAYSIZE(g_szControlPipeName)];
  CopyControlPipeName(pipeName);
  if (announce && g_bGuiAnnounced && HasServiceLostReceivingPipe()) {
    // A packet of its own: the working packet holds the command's body already.
    struct {
      PipePacket header;
      BYTE body[kGuiPipeNameBodyRoom];
    } start{};
    static_assert(offsetof(decltype(start), body) == kPipeHeaderSize);
    start.header.dwCommand = TW4_0::ID_GUI_START;
    start.header.dwDataSize = WriteGuiPipeNameBody(start.body);
    Trace(L"The service lost the receiving pipe: ID_GUI_START again\n");
    SendData(&start.header, pipeName);
  }
  ZeroMemory(work, kPipeHeaderSize);
  work->dwCommand = command;
  work->dwParam = param;
  work->cDrive = drive;
  work->dwDataSize = bodySize;
  return SendData(work, pipeName);
}

bool CheckBody(const wchar_t* name, const BYTE* body, std::uint32_t bodySize, std::uint32_t needed) noexcept {
  if (body != nullptr && bodySize >= needed) return true;
  Trace(L"%s dropped: its body holds %u bytes, %u are needed\n", name, body != nullptr ? bodySize : 0u, needed);
  return false;
}

DriveEntry* CheckDrive(const wchar_t* name, WCHAR letter) noexcept {
  DriveEntry* entry = FindDriveEntry(letter);
  if (entry == nullptr) Trace(L"%s dropped: drive letter %d names no drive\n", name, static_cast<int>(letter));
  return entry;
}

void TraceNoMemory(const wchar_t* name, std::uint32_t bytes) noexcept {
  Trace(L"%s dropped: no memory for a block of %u bytes; nothing sent\n", name, bytes);
}

// Translation thread (TLThreadFunc's loop). Takes over `block`, the command's AllocBlock
// block or nullptr, and frees it before returning, whatever the command.
void TranslateCommand(std::uint16_t command, void* block, WCHAR letter, std::uint8_t direction) noexcept {
  UniqueBlock received(static_cast<BYTE*>(block));
  const std::size_t blockSize = BlockSize(received.get());
  const bool fromGui = direction == kFromGui;

  ZeroMemory(g_workingPacket, sizeof(g_workingPacket));
  auto* work = reinterpret_cast<PipePacket*>(g_workingPacket);

  GuiCommand gui{command, letter, nullptr, 0, work};
  ServiceMessage service{command, nullptr, nullptr, 0, work};
  const bool intact = fromGui ? TakeGuiBody(received.get(), blockSize, gui)
                              : TakeServiceBody(received.get(), blockSize, service);

  // A service message names its drive in the packet; a GUI command in the message.
  WCHAR drive = letter;
  if (!fromGui) drive = service.packet != nullptr ? service.packet->cDrive : 0;
  const std::uint8_t driveIndex = GetDriveIndex(drive);

  Trace(L"\n");
  if (fromGui) {
    Trace(L"TranslateCommand received Command %s(%d) from 4.5 GUI  for drive index %d\n\n",
          GetCommandName4_5(command), static_cast<int>(command), static_cast<int>(driveIndex));
  } else {
    Trace(L"TranslateCommand received Command %s(%d) from 4.0 Controller  for drive index %d\n\n",
          GetCommandName4_0(command), static_cast<int>(command), static_cast<int>(driveIndex));
  }

  if (!intact) {
    // The lengths in the header promise more than travelled: nothing of it can be trusted.
    Trace(L"TranslateCommand dropped Command %d: its block of %u bytes does not hold what its header announces\n",
          static_cast<int>(command), static_cast<unsigned>(blockSize));
  } else {
    const bool handled = fromGui ? TranslateGuiCommand(gui) : TranslateServiceMessage(service);
    if (!handled) {
      Trace(L"The TL received an unknown message from the GUI to handle. Command = %d\n", static_cast<int>(command));
    }
  }

  if (received) {
    const int address = TraceAddress(received.get());
    received.reset();
    if (!fromGui) Trace(L"Deleted pipe memory at adress %d\n", address);
  }
}
