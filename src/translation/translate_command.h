#pragma once
// TranslateCommand: the translation thread's handler for every translation message, in both
// directions. A GUI command (direction 1) becomes zero, one or two commands to the service
// and changes of the drive table; a service message (direction 0) becomes DataIo packets
// for the GUI's data objects. The received block is freed here, whatever the command.

#include <windows.h>
#include <cstdint>

// Translation thread only. `block`: the command's block from AllocBlock, or nullptr.
void TranslateCommand(std::uint16_t command, void* block, WCHAR letter, std::uint8_t direction) noexcept;
