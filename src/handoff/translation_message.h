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

// The queue the translation messages go to: the translation thread's id and whether that
// thread still takes commands. The layer's start opens it for a new thread; the translation
// thread closes it once it takes no more commands (after the GUI's exit, or at the end of its
// loop). Any thread may post; only the layer's start and the translation thread change it.
extern DWORD g_dwTLThreadId;

// The translation thread's id, traced; 0 before the first start.
[[nodiscard]] DWORD GetTLThreadId() noexcept;

// Layer start, before anyone can post to the new thread: names it and opens its queue.
void OpenTranslationQueue(DWORD threadId) noexcept;
// Translation thread: no post succeeds from now on. Once this returns, whatever a poster did
// not get in is still the poster's, and nothing new can arrive behind what is queued.
void CloseTranslationQueue() noexcept;
[[nodiscard]] bool IsTranslationQueueClosed() noexcept;

// Posts a translation message to the translation thread. A full queue (ERROR_NOT_ENOUGH_QUOTA)
// is waited out: the post is retried until it succeeds, the queue is closed, or `*cancel`
// (when given) becomes non-zero, so a flood backs up to its source instead of losing
// messages. On failure the block stays with the caller and GetLastError tells why
// (ERROR_INVALID_THREAD_ID when there is no thread or its queue is closed).
BOOL PostTranslationMessage(std::uint32_t first, void* block, const volatile LONG* cancel = nullptr) noexcept;

// Test seam: stands in for PostThreadMessageW (a full queue cannot be produced on every system).
using PostThreadMessageFunction = BOOL(WINAPI*)(DWORD threadId, UINT message, WPARAM first, LPARAM second);
void SetPostThreadMessageFunction(PostThreadMessageFunction function) noexcept;
