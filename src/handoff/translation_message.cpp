#include "handoff/translation_message.h"

#include "shared/trace.h"

DWORD g_dwTLThreadId = 0;

namespace {

// Posters hold it shared around their post; closing takes it exclusive, so no post is half
// done when the queue closes.
SRWLOCK g_queueLock = SRWLOCK_INIT;
bool g_bQueueClosed = false;  // under g_queueLock
constexpr DWORD kFullQueueRetryMs = 5;
PostThreadMessageFunction volatile g_postThreadMessage = &PostThreadMessageW;

}  // namespace

DWORD GetTLThreadId() noexcept {
  const DWORD id = g_dwTLThreadId;
  Trace(L"GetTLThreadId returning = %d\n", static_cast<int>(id));
  return id;
}

void OpenTranslationQueue(DWORD threadId) noexcept {
  AcquireSRWLockExclusive(&g_queueLock);
  g_dwTLThreadId = threadId;
  g_bQueueClosed = false;
  ReleaseSRWLockExclusive(&g_queueLock);
}

void CloseTranslationQueue() noexcept {
  AcquireSRWLockExclusive(&g_queueLock);
  g_bQueueClosed = true;
  ReleaseSRWLockExclusive(&g_queueLock);
}

bool IsTranslationQueueClosed() noexcept {
  AcquireSRWLockShared(&g_queueLock);
  const bool closed = g_bQueueClosed;
  ReleaseSRWLockShared(&g_queueLock);
  return closed;
}

void SetPostThreadMessageFunction(PostThreadMessageFunction function) noexcept {
  g_postThreadMessage = function != nullptr ? function : &PostThreadMessageW;
}

BOOL PostTranslationMessage(std::uint32_t first, void* block, const volatile LONG* cancel) noexcept {
  const DWORD id = GetTLThreadId();
  for (;;) {
    AcquireSRWLockShared(&g_queueLock);
    // No thread yet (some systems would not refuse id 0 themselves), or one that takes no more.
    if (id == 0 || g_bQueueClosed) {
      ReleaseSRWLockShared(&g_queueLock);
      SetLastError(ERROR_INVALID_THREAD_ID);
      return FALSE;
    }
    const BOOL posted = g_postThreadMessage(id, kTranslationMessage, first, reinterpret_cast<LPARAM>(block));
    const DWORD error = GetLastError();
    ReleaseSRWLockShared(&g_queueLock);
    if (posted) return TRUE;
    if (error != ERROR_NOT_ENOUGH_QUOTA || (cancel != nullptr && InterlockedCompareExchange(
                                                                     const_cast<volatile LONG*>(cancel), 0, 0) != 0)) {
      SetLastError(error);
      return FALSE;
    }
    Sleep(kFullQueueRetryMs);  // the translation thread is behind: let it catch up
  }
}
