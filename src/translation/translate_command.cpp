#include "translation/translate_command.h"

#include "pipes/pipe_packet.h"
#include "shared/block.h"
#include "shared/trace.h"
#include "translation/commands.h"
#include "translation/drive_table.h"
#include "translation/translation_message.h"

void TranslateCommand(std::uint16_t command, void* block, WCHAR letter, std::uint8_t direction) noexcept {
  const UniqueBlock received(static_cast<BYTE*>(block));
  const bool fromGui = direction == kFromGui;

  // A service message names its drive in the packet; a GUI command in the message.
  WCHAR drive = letter;
  if (!fromGui) drive = received ? reinterpret_cast<const PipePacket*>(received.get())->cDrive : 0;
  const std::uint8_t driveIndex = GetDriveIndex(drive);

  Trace(L"\n");
  if (fromGui) {
    Trace(L"TranslateCommand received Command %s(%d) from 4.5 GUI  for drive index %d\n\n",
          GetCommandName4_5(command), static_cast<int>(command), static_cast<int>(driveIndex));
  } else {
    Trace(L"TranslateCommand received Command %s(%d) from 4.0 Controller  for drive index %d\n\n",
          GetCommandName4_0(command), static_cast<int>(command), static_cast<int>(driveIndex));
  }

  Trace(L"The TL received an unknown message from the GUI to handle. Command = %d\n", static_cast<int>(command));

  if (received && !fromGui) Trace(L"Deleted pipe memory at adress %d\n", TraceAddress(received.get()));
}
