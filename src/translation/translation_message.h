#pragma once
// The translation message: the one hand-over between threads. A WM_COMMAND thread message to
// the translation thread whose first parameter packs the command number (bits 0-15), the
// direction flag (bits 16-23: 1 from the GUI, 0 from the service) and the low byte of the
// drive letter (bits 24-31), and whose second parameter carries a block from AllocBlock (or
// nothing). Once a post succeeds the block belongs to the translation thread.

#include <windows.h>
#include <cstdint>

constexpr UINT kTranslationMessage = WM_COMMAND;
constexpr std::uint8_t kFromService = 0;
constexpr std::uint8_t kFromGui = 1;

[[nodiscard]] constexpr std::uint32_t MakeTranslationParam(std::uint16_t command, std::uint8_t direction,
                                                           WCHAR letter) noexcept {
  return (static_cast<std::uint32_t>(letter & 0xFF) << 24) | (static_cast<std::uint32_t>(direction) << 16) |
         command;
}

struct TranslationParam {
  std::uint16_t command;
  std::uint8_t direction;
  WCHAR letter;
};

[[nodiscard]] constexpr TranslationParam DecodeTranslationParam(WPARAM first) noexcept {
  const auto value = static_cast<std::uint32_t>(first);
  return TranslationParam{static_cast<std::uint16_t>(value & 0xFFFF),
                          static_cast<std::uint8_t>((value >> 16) & 0xFF),
                          static_cast<WCHAR>((value >> 24) & 0xFF)};
}

// Posts a translation message to the translation thread. A full queue (ERROR_NOT_ENOUGH_QUOTA)
// is waited out: the post is retried until it succeeds or the layer stops, so a flood backs up
// to its source instead of losing messages. On failure the block stays with the caller and
// GetLastError tells why.
BOOL PostTranslationMessage(std::uint32_t first, void* block) noexcept;

// Test seam: stands in for PostThreadMessageW (a full queue cannot be produced on every system).
using PostThreadMessageFunction = BOOL(WINAPI*)(DWORD threadId, UINT message, WPARAM first, LPARAM second);
void SetPostThreadMessageFunction(PostThreadMessageFunction function) noexcept;
