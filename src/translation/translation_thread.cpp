#include "translation/translation_thread.h"

#include "pipes/receive_pipe.h"
#include "shared/block.h"
#include "shared/module_thread.h"
#include "shared/owners.h"
#include "shared/trace.h"
#include "translation/drive_table.h"
#include "translation/translate_command.h"

HANDLE g_hTLThread = nullptr;
HANDLE g_hPipeThread = nullptr;

namespace {

// Starts and stops come from COM threads and from DllMain; one at a time.
SRWLOCK g_layerLock = SRWLOCK_INIT;
bool g_bQuitPosted = false;  // under g_layerLock: a stop asked the running translation thread to quit
volatile WCHAR g_cPseudoEngineDrive = 0;
constexpr DWORD kQuitWaitMs = 2000;
constexpr DWORD kQueueReadyWaitMs = 5000;
// Longer than the pipe thread's own bounded wait for a stale sending pipe to close.
constexpr DWORD kPipeReadyWaitMs = 6000;
// How long a start waits for a layer that is ending (its last command, COM's uninitialisation).
constexpr DWORD kEndingLayerWaitMs = 10000;
TranslateCommandHandler volatile g_translateHandler = nullptr;

bool IsRunning(HANDLE thread) noexcept {
  return thread != nullptr && WaitForSingleObject(thread, 0) == WAIT_TIMEOUT;
}

void CloseThreadHandle(HANDLE& thread) noexcept {
  if (thread != nullptr) CloseHandle(thread);
  thread = nullptr;
}

// A handle to `event` that a new thread owns, or nullptr.
HANDLE DuplicateForThread(HANDLE event) noexcept {
  HANDLE copy = nullptr;
  if (event == nullptr || !DuplicateHandle(GetCurrentProcess(), event, GetCurrentProcess(), &copy, 0, FALSE,
                                           DUPLICATE_SAME_ACCESS)) {
    return nullptr;
  }
  return copy;
}

// Starts `function` with an event it owns and waits, bounded, until it has set it or ended.
HANDLE StartThreadAndWait(LPTHREAD_START_ROUTINE function, DWORD* id, DWORD waitMs) noexcept {
  UniqueHandle ready(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  HANDLE forThread = DuplicateForThread(ready.get());
  const HANDLE thread = CreateModuleThread(function, forThread, id);
  if (thread == nullptr) {
    if (forThread != nullptr) CloseHandle(forThread);
    return nullptr;
  }
  if (forThread != nullptr) {
    const HANDLE waits[] = {ready.get(), thread};
    WaitForMultipleObjects(2, waits, FALSE, waitMs);
  }
  return thread;
}

// Translation thread: a message that is not translated. Its block is freed here; a GUI exit
// that is dropped is still answered, so that its caller, who waits for it, goes on.
void DropMessage(const MSG& msg) noexcept {
  if (msg.message != kTranslationMessage) return;
  const TranslationParam p = DecodeTranslationParam(msg.wParam);
  Trace(L"TLThreadFunc - command %d dropped: the layer takes no more commands\n", static_cast<int>(p.command));
  FreeBlock(reinterpret_cast<void*>(msg.lParam));
  if (IsExitMessage(static_cast<std::uint32_t>(msg.wParam))) CompleteExit();
}

}  // namespace

WCHAR GetPseudoEngineDrive() noexcept { return g_cPseudoEngineDrive; }
void SetPseudoEngineDriveLetter(WCHAR letter) noexcept { g_cPseudoEngineDrive = letter; }

void SetTranslateCommandHandler(TranslateCommandHandler handler) noexcept { g_translateHandler = handler; }

void StartTranslationLayer() noexcept {
  Trace(L"StartTranslationLayer\n");
  AcquireSRWLockExclusive(&g_layerLock);
  if (IsRunning(g_hTLThread)) {
    if (!IsTranslationQueueClosed() && !g_bQuitPosted) {
      // The running layer keeps its state and threads; a second pair would orphan the first.
      ReleaseSRWLockExclusive(&g_layerLock);
      Trace(L"StartTranslationLayer - layer already running\n");
      return;
    }
    // The layer is ending (its exit was posted, perhaps not yet handled, or a stop asked it to
    // quit): a new session starts once it has ended.
    if (WaitForSingleObject(g_hTLThread, kEndingLayerWaitMs) != WAIT_OBJECT_0) {
      ReleaseSRWLockExclusive(&g_layerLock);
      Trace(L"StartTranslationLayer - the ending layer did not end; not started\n");
      return;
    }
  }
  // The previous layer has ended: let go of what is left of it.
  CloseThreadHandle(g_hTLThread);
  EndPipeThread();
  g_bQuitPosted = false;

  ZeroDriveTable();
  g_cPseudoEngineDrive = 0;
  // Objects made from here on belong to the new session; it takes posts once both of its
  // threads run.
  const SessionId session = BeginSession();

  // The translation thread tells when its message queue exists, so that posts made right after
  // the start (the GUI's first commands, the service's first packets) are not refused.
  DWORD id = 0;
  g_hTLThread = StartThreadAndWait(TLThreadFunc, &id, kQueueReadyWaitMs);
  if (g_hTLThread == nullptr) {
    ReleaseSRWLockExclusive(&g_layerLock);
    Trace(L"StartTranslationLayer - CreateThread");
    return;
  }
  Trace(L"Created main thread:  g_hTLThread = %d g_dwTLThreadId = %d\n", TraceAddress(g_hTLThread),
        static_cast<int>(id));

  ResetPipeThreadStop(session);
  // The start returns once the receiving pipe exists: the pipe thread first closes a sending
  // pipe left open, and must not close the one the GUI's first command opens after the start.
  const HANDLE pipeThread = StartThreadAndWait(PipeThreadFunc, nullptr, kPipeReadyWaitMs);
  InterlockedExchangePointer(&g_hPipeThread, pipeThread);
  // Only now may anything be translated: an exit handled before the pipe thread was published
  // would leave that thread running with no layer behind it.
  OpenTranslationQueue(id);
  ReleaseSRWLockExclusive(&g_layerLock);
  if (pipeThread == nullptr) {
    Trace(L"StartTranslationLayer - CreateThread");
  } else {
    Trace(L"StartTranslationLayer Successful\n");
  }
}

void StopTranslationLayer(LayerStopWait wait) noexcept {
  Trace(L"StopTranslationLayer\n");
  const bool bounded = wait == LayerStopWait::kBounded;
  // Under the loader lock nothing may wait, not even for the lock a start holds while it waits.
  if (bounded) {
    AcquireSRWLockExclusive(&g_layerLock);
  } else if (!TryAcquireSRWLockExclusive(&g_layerLock)) {
    Trace(L"StopTranslationLayer - a start or stop is under way; left to it\n");
    return;
  }
  // Only a translation thread that still runs is told to quit: once it has ended its id may
  // belong to another thread of the host.
  if (IsRunning(g_hTLThread)) {
    // A refused quit (a full queue) leaves a layer that runs on and takes commands: a start
    // after this keeps it rather than waiting for an end that was never asked for.
    if (PostQuitToTranslationThread(g_dwTLThreadId)) g_bQuitPosted = true;
    // A short wait lets the loop finish the command in hand, so that a start right after this
    // finds the layer ended rather than still running.
    if (bounded && GetCurrentThreadId() != g_dwTLThreadId) WaitForSingleObject(g_hTLThread, kQuitWaitMs);
  }
  if (bounded) {
    EndPipeThread();
  } else {
    RequestPipeThreadStop(static_cast<HANDLE>(InterlockedExchangePointer(&g_hPipeThread, nullptr)));
  }
  // The thread's handle goes once the thread has ended; at the module's unload (kNone) it has:
  // the thread holds a reference on the module, so the unload comes only after it.
  if (!bounded || !IsRunning(g_hTLThread)) CloseThreadHandle(g_hTLThread);
  ReleaseSRWLockExclusive(&g_layerLock);
  Trace(L"StopTranslationLayer Successful\n");
}

void EndPipeThread() noexcept {
  // Whoever takes the handle first stops the thread and closes it.
  StopPipeThread(static_cast<HANDLE>(InterlockedExchangePointer(&g_hPipeThread, nullptr)));
}

DWORD WINAPI TLThreadFunc(void* queueReady) {
  const HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  if (FAILED(hr)) Trace(L"CoInitializeEx failed hr = %d\n", static_cast<int>(hr));

  // Makes this thread's message queue exist.
  MSG msg;
  PeekMessageW(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
  if (queueReady != nullptr) {
    SetEvent(static_cast<HANDLE>(queueReady));
    CloseHandle(static_cast<HANDLE>(queueReady));
  }

  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    Trace(L"TLThreadFunc - GetMessage Called\n");
    if (msg.message != kTranslationMessage) continue;  // nothing else is dispatched
    Trace(L"Calling TranslateCommand\n");
    const auto first = static_cast<std::uint32_t>(msg.wParam);
    const TranslationParam p = DecodeTranslationParam(first);
    void* block = reinterpret_cast<void*>(msg.lParam);
    if (TranslateCommandHandler handler = g_translateHandler) {
      handler(p.command, block, p.letter, p.direction);
    } else {
      TranslateCommand(p.command, block, p.letter, p.direction);
    }
    if (IsExitMessage(first)) {
      // Its caller goes on; after the session's exit the layer is down and the loop ends.
      CompleteExit();
      if (IsSessionExitMessage(first)) break;
    }
  }

  // No post gets in any more; what got in before is freed, not leaked with the queue.
  EndTranslationQueue();
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DropMessage(msg);

  Trace(L"Exiting Translation Layer Thread\n");
  if (SUCCEEDED(hr)) {
    Trace(L"Calling CoUninitialize()\n");
    CoUninitialize();
    Trace(L"CoUninitialize() Done\n");
  }
  return 0;
}
