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

// The GUI's exit (ID_FENUI_EXIT). From the pseudo-service object (no letter) it ends the
// session; from an engine object it only releases the GUI's waiting call.
[[nodiscard]] bool IsExitMessage(std::uint32_t first) noexcept;
[[nodiscard]] bool IsSessionExitMessage(std::uint32_t first) noexcept;

// A session: one start of the translation layer, from the start to the end of its translation
// thread. Every data object and engine class object belongs to the session it was made in,
// and every post names its session: a post of another session than the one running now, or of
// a session whose exit was posted, is refused. So nothing of an ended session ever reaches a
// later one, whatever ids the system hands out again. 0 names no session.
using SessionId = std::uint32_t;

// The session running now, or the newest one (ended or still starting); 0 before the first.
[[nodiscard]] SessionId CurrentSession() noexcept;

// The translation thread's id, traced; 0 before the first start.
extern DWORD g_dwTLThreadId;
[[nodiscard]] DWORD GetTLThreadId() noexcept;

// Layer start, holding the layer's lock: a new session that takes no posts yet. Objects made
// from now on belong to it.
SessionId BeginSession() noexcept;
// Layer start, once both threads run: the session's translation thread, and posts taken.
void OpenTranslationQueue(DWORD threadId) noexcept;
// Translation thread, at the end of its loop: no post gets in from now on, and every exit
// still waiting is answered. Once this returns, whatever a poster did not get in is still the
// poster's, and nothing new can arrive behind what is queued.
void EndTranslationQueue() noexcept;
// True once the running session takes no more posts: its exit was posted, or its translation
// thread ends. A layer in that state is ending.
[[nodiscard]] bool IsTranslationQueueClosed() noexcept;
// True while `session` is the one running and takes posts.
[[nodiscard]] bool IsSessionOpen(SessionId session) noexcept;

// Posts a translation message of `session` to its translation thread. A full queue
// (ERROR_NOT_ENOUGH_QUOTA) is waited out: the post is retried, the thread's id read afresh each
// time, until it succeeds, the session closes, or `*cancel` (when given) becomes non-zero, so
// a flood backs up to its source instead of losing messages. On failure the block stays with
// the caller and GetLastError tells why (ERROR_INVALID_THREAD_ID when the session is not the
// one running or takes no posts). An exit posted here is numbered (`*exitTicket`, for
// WaitForExitHandled); posting the session's exit closes the queue behind it.
BOOL PostTranslationMessage(std::uint32_t first, void* block, SessionId session,
                            const volatile LONG* cancel = nullptr, std::uint64_t* exitTicket = nullptr) noexcept;

// Asks the translation thread `threadId` to end its loop (WM_QUIT), through the same post as
// every translation message. FALSE when the post was refused (a full queue, a thread gone).
BOOL PostQuitToTranslationThread(DWORD threadId) noexcept;

// Translation thread: the oldest exit not yet answered has been handled, or dropped.
void CompleteExit() noexcept;
// The caller of a posted exit: waits until that exit (and every one before it) has been
// handled or dropped, or the session's thread has ended, at most `timeoutMs`. True when it was.
bool WaitForExitHandled(std::uint64_t exitTicket, DWORD timeoutMs) noexcept;

// Test seam: stands in for PostThreadMessageW (a full queue cannot be produced on every system).
using PostThreadMessageFunction = BOOL(WINAPI*)(DWORD threadId, UINT message, WPARAM first, LPARAM second);
void SetPostThreadMessageFunction(PostThreadMessageFunction function) noexcept;
