#include "translation/translation_thread.h"

#include "pipes/receive_pipe.h"
#include "shared/module_thread.h"
#include "shared/owners.h"
#include "shared/trace.h"
#include "translation/drive_table.h"
#include "translation/translate_command.h"
#include "translation/translation_message.h"

HANDLE g_hTLThread = nullptr;
DWORD g_dwTLThreadId = 0;
HANDLE g_hPipeThread = nullptr;

namespace {

// Starts and stops come from COM threads and from DllMain; one at a time.
SRWLOCK g_layerLock = SRWLOCK_INIT;
volatile WCHAR g_cPseudoEngineDrive = 0;
constexpr DWORD kQuitWaitMs = 2000;
constexpr DWORD kQueueReadyWaitMs = 5000;
// Longer than the pipe thread's own bounded wait for a stale sending pipe to close.
constexpr DWORD kPipeReadyWaitMs = 6000;
constexpr DWORD kFullQueueRetryMs = 5;
PostThreadMessageFunction volatile g_postThreadMessage = &PostThreadMessageW;
volatile LONG g_tlLoopRunning = 0;  // 1 while TLThreadFunc takes messages
TranslateCommandHandler volatile g_translateHandler = nullptr;

bool IsRunning(HANDLE thread) noexcept {
  return thread != nullptr && WaitForSingleObject(thread, 0) == WAIT_TIMEOUT;
}

void CloseThreadHandle(HANDLE& thread) noexcept {
  if (thread != nullptr) CloseHandle(thread);
  thread = nullptr;
}

}  // namespace

DWORD GetTLThreadId() noexcept {
  const DWORD id = g_dwTLThreadId;
  Trace(L"GetTLThreadId returning = %d\n", static_cast<int>(id));
  return id;
}

WCHAR GetPseudoEngineDrive() noexcept { return g_cPseudoEngineDrive; }
void SetPseudoEngineDriveLetter(WCHAR letter) noexcept { g_cPseudoEngineDrive = letter; }

void SetTranslateCommandHandler(TranslateCommandHandler handler) noexcept { g_translateHandler = handler; }

void SetPostThreadMessageFunction(PostThreadMessageFunction function) noexcept {
  g_postThreadMessage = function != nullptr ? function : &PostThreadMessageW;
}

BOOL PostTranslationMessage(std::uint32_t first, void* block) noexcept {
  const DWORD id = GetTLThreadId();
  if (id == 0) {  // no translation thread yet (some systems would not refuse id 0 themselves)
    SetLastError(ERROR_INVALID_THREAD_ID);
    return FALSE;
  }
  for (;;) {
    if (g_postThreadMessage(id, kTranslationMessage, first, reinterpret_cast<LPARAM>(block))) return TRUE;
    const DWORD error = GetLastError();
    if (error != ERROR_NOT_ENOUGH_QUOTA || InterlockedCompareExchange(&g_tlLoopRunning, 0, 0) == 0 ||
        IsPipeThreadStopRequested()) {
      SetLastError(error);
      return FALSE;
    }
    Sleep(kFullQueueRetryMs);  // the translation thread is behind: let it catch up
  }
}

void StartTranslationLayer() noexcept {
  Trace(L"StartTranslationLayer\n");
  AcquireSRWLockExclusive(&g_layerLock);
  if (IsRunning(g_hTLThread)) {
    // The running layer keeps its state and threads; a second pair would orphan the first.
    ReleaseSRWLockExclusive(&g_layerLock);
    Trace(L"StartTranslationLayer - layer already running\n");
    return;
  }
  // The previous layer has ended: let go of what is left of it.
  CloseThreadHandle(g_hTLThread);
  EndPipeThread();

  ZeroDriveTable();
  g_cPseudoEngineDrive = 0;

  // The translation thread tells when its message queue exists, so that posts made right after
  // the start (the GUI's first commands, the service's first packets) are not refused.
  UniqueHandle queueReady(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  DWORD id = 0;
  g_hTLThread = CreateModuleThread(TLThreadFunc, queueReady.get(), &id);
  if (g_hTLThread == nullptr) {
    ReleaseSRWLockExclusive(&g_layerLock);
    Trace(L"StartTranslationLayer - CreateThread");
    return;
  }
  g_dwTLThreadId = id;
  if (queueReady) {
    const HANDLE waits[] = {queueReady.get(), g_hTLThread};
    WaitForMultipleObjects(2, waits, FALSE, kQueueReadyWaitMs);
  }
  Trace(L"Created main thread:  g_hTLThread = %d g_dwTLThreadId = %d\n", TraceAddress(g_hTLThread),
        static_cast<int>(id));

  ResetPipeThreadStop();
  // The start returns once the receiving pipe exists: the pipe thread first closes a sending
  // pipe left open, and must not close the one the GUI's first command opens after the start.
  UniqueHandle pipeReady(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  HANDLE forThread = nullptr;
  if (pipeReady && !DuplicateHandle(GetCurrentProcess(), pipeReady.get(), GetCurrentProcess(), &forThread, 0, FALSE,
                                    DUPLICATE_SAME_ACCESS)) {
    forThread = nullptr;
  }
  g_hPipeThread = CreateModuleThread(PipeThreadFunc, forThread, nullptr);
  if (g_hPipeThread == nullptr) {
    if (forThread != nullptr) CloseHandle(forThread);
  } else if (forThread != nullptr) {
    const HANDLE waits[] = {pipeReady.get(), g_hPipeThread};
    WaitForMultipleObjects(2, waits, FALSE, kPipeReadyWaitMs);
  }
  ReleaseSRWLockExclusive(&g_layerLock);
  if (g_hPipeThread == nullptr) {
    Trace(L"StartTranslationLayer - CreateThread");
  } else {
    Trace(L"StartTranslationLayer Successful\n");
  }
}

void StopTranslationLayer() noexcept {
  Trace(L"StopTranslationLayer\n");
  AcquireSRWLockExclusive(&g_layerLock);
  // Only a translation thread that still runs is told to quit: once it has ended its id may
  // belong to another thread of the host.
  if (IsRunning(g_hTLThread)) {
    PostThreadMessageW(g_dwTLThreadId, WM_QUIT, 0, 0);
    // A short wait lets the loop finish the command in hand, so that a start right after this
    // finds the layer ended rather than still running.
    if (GetCurrentThreadId() != g_dwTLThreadId) WaitForSingleObject(g_hTLThread, kQuitWaitMs);
  }
  EndPipeThread();
  ReleaseSRWLockExclusive(&g_layerLock);
  Trace(L"StopTranslationLayer Successful\n");
}

void EndPipeThread() noexcept { StopPipeThread(g_hPipeThread); }

DWORD WINAPI TLThreadFunc(void* queueReady) {
  const HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  if (FAILED(hr)) Trace(L"CoInitializeEx failed hr = %d\n", static_cast<int>(hr));

  // Makes this thread's message queue exist.
  MSG msg;
  PeekMessageW(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
  InterlockedExchange(&g_tlLoopRunning, 1);
  if (queueReady != nullptr) SetEvent(static_cast<HANDLE>(queueReady));

  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    Trace(L"TLThreadFunc - GetMessage Called\n");
    if (msg.message != kTranslationMessage) continue;  // nothing else is dispatched
    Trace(L"Calling TranslateCommand\n");
    const TranslationParam p = DecodeTranslationParam(msg.wParam);
    void* block = reinterpret_cast<void*>(msg.lParam);
    if (TranslateCommandHandler handler = g_translateHandler) {
      handler(p.command, block, p.letter, p.direction);
    } else {
      TranslateCommand(p.command, block, p.letter, p.direction);
    }
  }

  InterlockedExchange(&g_tlLoopRunning, 0);
  Trace(L"Exiting Translation Layer Thread\n");
  Trace(L"Calling CoUninitialize()\n");
  CoUninitialize();
  Trace(L"CoUninitialize() Done\n");
  return 0;
}
