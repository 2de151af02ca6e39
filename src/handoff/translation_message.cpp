#include "handoff/translation_message.h"

#include "handoff/commands.h"
#include "shared/trace.h"

DWORD g_dwTLThreadId = 0;

namespace {

// The queue's state. Posters hold the lock shared around their post (an exit's post holds it
// exclusive, so that exits reach the queue in the order of their numbers); closing takes it
// exclusive, so no post is half done when the queue closes.
SRWLOCK g_queueLock = SRWLOCK_INIT;
SessionId g_session = 0;        // under g_queueLock
SessionId g_lastSession = 0;    // under g_queueLock
bool g_bQueueClosed = true;     // under g_queueLock
// Exits posted and exits answered (handled or dropped) so far, in every session: the queue
// hands exits to the translation thread in the order they were numbered.
std::uint64_t g_exitsPosted = 0;   // under g_queueLock
std::uint64_t g_exitsAnswered = 0; // under g_queueLock
CONDITION_VARIABLE g_exitAnswered = CONDITION_VARIABLE_INIT;

constexpr DWORD kFullQueueRetryMs = 5;
PostThreadMessageFunction volatile g_postThreadMessage = &PostThreadMessageW;

bool Cancelled(const volatile LONG* cancel) noexcept {
  return cancel != nullptr && InterlockedCompareExchange(const_cast<volatile LONG*>(cancel), 0, 0) != 0;
}

}  // namespace

bool IsExitMessage(std::uint32_t first) noexcept {
  const TranslationParam p = DecodeTranslationParam(first);
  return p.direction == kFromGui && p.command == TW4_5::ID_FENUI_EXIT;
}

bool IsSessionExitMessage(std::uint32_t first) noexcept {
  return IsExitMessage(first) && DecodeTranslationParam(first).letter == 0;
}

SessionId CurrentSession() noexcept {
  AcquireSRWLockShared(&g_queueLock);
  const SessionId session = g_session;
  ReleaseSRWLockShared(&g_queueLock);
  return session;
}

DWORD GetTLThreadId() noexcept {
  AcquireSRWLockShared(&g_queueLock);
  const DWORD id = g_dwTLThreadId;
  ReleaseSRWLockShared(&g_queueLock);
  Trace(L"GetTLThreadId returning = %d\n", static_cast<int>(id));
  return id;
}

SessionId BeginSession() noexcept {
  AcquireSRWLockExclusive(&g_queueLock);
  if (++g_lastSession == 0) ++g_lastSession;
  g_session = g_lastSession;
  g_bQueueClosed = true;
  const SessionId session = g_session;
  ReleaseSRWLockExclusive(&g_queueLock);
  return session;
}

void OpenTranslationQueue(DWORD threadId) noexcept {
  AcquireSRWLockExclusive(&g_queueLock);
  g_dwTLThreadId = threadId;
  g_bQueueClosed = false;
  ReleaseSRWLockExclusive(&g_queueLock);
}

bool IsTranslationQueueClosed() noexcept {
  AcquireSRWLockShared(&g_queueLock);
  const bool closed = g_bQueueClosed;
  ReleaseSRWLockShared(&g_queueLock);
  return closed;
}

bool IsSessionOpen(SessionId session) noexcept {
  AcquireSRWLockShared(&g_queueLock);
  const bool open = session != 0 && session == g_session && !g_bQueueClosed;
  ReleaseSRWLockShared(&g_queueLock);
  return open;
}

void SetPostThreadMessageFunction(PostThreadMessageFunction function) noexcept {
  g_postThreadMessage = function != nullptr ? function : &PostThreadMessageW;
}

BOOL PostTranslationMessage(std::uint32_t first, void* block, SessionId session, const volatile LONG* cancel,
                            std::uint64_t* exitTicket) noexcept {
  const bool exit = IsExitMessage(first);
  for (;;) {
    if (exit) {
      AcquireSRWLockExclusive(&g_queueLock);
    } else {
      AcquireSRWLockShared(&g_queueLock);
    }
    // The thread's id is read here, under the lock, each time: a poster that waited out a full
    // queue never posts into a thread of a later session, nor into one that took an old id.
    const DWORD id = g_dwTLThreadId;
    const bool open = session != 0 && session == g_session && !g_bQueueClosed && id != 0;
    BOOL posted = FALSE;
    DWORD error = ERROR_INVALID_THREAD_ID;
    if (open) {
      posted = g_postThreadMessage(id, kTranslationMessage, first, reinterpret_cast<LPARAM>(block));
      error = GetLastError();
      if (posted && exit) {
        const std::uint64_t ticket = ++g_exitsPosted;
        if (exitTicket != nullptr) *exitTicket = ticket;
        // A queued exit is an exit: nothing gets in behind it, and a start finds the layer ending.
        if (DecodeTranslationParam(first).letter == 0) g_bQueueClosed = true;
      }
    }
    if (exit) {
      ReleaseSRWLockExclusive(&g_queueLock);
    } else {
      ReleaseSRWLockShared(&g_queueLock);
    }
    if (posted) return TRUE;
    if (!open || error != ERROR_NOT_ENOUGH_QUOTA || Cancelled(cancel)) {
      SetLastError(error);
      return FALSE;
    }
    Sleep(kFullQueueRetryMs);  // the translation thread is behind: let it catch up
  }
}

BOOL PostQuitToTranslationThread(DWORD threadId) noexcept { return g_postThreadMessage(threadId, WM_QUIT, 0, 0); }

void CompleteExit() noexcept {
  AcquireSRWLockExclusive(&g_queueLock);
  if (g_exitsAnswered < g_exitsPosted) ++g_exitsAnswered;
  ReleaseSRWLockExclusive(&g_queueLock);
  WakeAllConditionVariable(&g_exitAnswered);
}

void EndTranslationQueue() noexcept {
  AcquireSRWLockExclusive(&g_queueLock);
  g_bQueueClosed = true;
  g_exitsAnswered = g_exitsPosted;
  ReleaseSRWLockExclusive(&g_queueLock);
  WakeAllConditionVariable(&g_exitAnswered);
}

bool WaitForExitHandled(std::uint64_t exitTicket, DWORD timeoutMs) noexcept {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  AcquireSRWLockShared(&g_queueLock);
  bool answered = g_exitsAnswered >= exitTicket;
  for (ULONGLONG now = GetTickCount64(); !answered && now < deadline; now = GetTickCount64()) {
    SleepConditionVariableSRW(&g_exitAnswered, &g_queueLock, static_cast<DWORD>(deadline - now),
                              CONDITION_VARIABLE_LOCKMODE_SHARED);
    answered = g_exitsAnswered >= exitTicket;
  }
  ReleaseSRWLockShared(&g_queueLock);
  return answered;
}
