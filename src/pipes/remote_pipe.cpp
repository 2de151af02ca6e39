#include "pipes/remote_pipe.h"

#include <cwchar>

#include "pipes/pipe_packet.h"
#include "pipes/receive_pipe.h"
#include "pipes/send_pipe.h"
#include "shared/owners.h"
#include "shared/trace.h"
#include "handoff/commands.h"
#include "handoff/translation_message.h"

WCHAR g_szMachineName[16] = {};
WCHAR g_szComputerName[16] = {};
WCHAR g_szGuiPipeName[46] = {};
WCHAR g_szControlPipeName[46] = {};
volatile BOOL g_bPipeInitResult = FALSE;

namespace {

constexpr const wchar_t* kPipeInitEventName = L"TWNT_PIPE_INIT";
constexpr DWORD kPipeInitWaitMs = 10000;
constexpr DWORD kPostRetryMs = 10;
constexpr std::size_t kMaxMachineName = 15;
// How much of the handshake's wait the receiving pipe's replacement may take.
constexpr DWORD kAdmissionWaitMs = 2000;

// One handshake at a time: a second COM thread waits until the first has its answer.
SRWLOCK g_handshakeLock = SRWLOCK_INIT;

// The handshake state both halves touch, under g_stateLock. The event handle lives here only
// while its InitializeRemotePipe waits, so the translation thread signals it under the lock or
// not at all: a late answer finds no handle (or a newer handshake's number) and signals
// nothing. The pipe names are written under the same lock.
SRWLOCK g_stateLock = SRWLOCK_INIT;
HANDLE g_hPipeInitEvent = nullptr;
DWORD g_dwPipeInitGeneration = 0;  // the handshake now waiting; 0 when none
DWORD g_dwLastGeneration = 0;      // numbers handed out so far
DWORD g_dwPipeInitAnswered = 0;    // the newest handshake whose probe succeeded

bool IsUsableMachineName(const wchar_t* machineName) noexcept {
  if (machineName == nullptr || machineName[0] == L'\0') return false;
  // It must fit g_szMachineName whole; a cut name would reach another machine.
  const std::size_t length = wcsnlen(machineName, kMaxMachineName + 1);
  if (length > kMaxMachineName) return false;
  // A backslash would make the control pipe name point somewhere else.
  return wcschr(machineName, L'\\') == nullptr;
}

template <std::size_t N>
void CopyName(WCHAR (&to)[N], const WCHAR (&from)[N]) noexcept {
  ExclusiveLock lock(g_stateLock);
  wmemcpy(to, from, N);
  to[N - 1] = L'\0';
}

}  // namespace

void CopyMachineName(WCHAR (&name)[16]) noexcept { CopyName(name, g_szMachineName); }
void CopyGuiPipeName(WCHAR (&name)[46]) noexcept { CopyName(name, g_szGuiPipeName); }
void CopyControlPipeName(WCHAR (&name)[46]) noexcept { CopyName(name, g_szControlPipeName); }

// COM thread (inside SetData). Owns the "TWNT_PIPE_INIT" handle it creates; the translation
// thread only signals it, under g_stateLock, while this call waits.
BOOL InitializeRemotePipe(const wchar_t* machineName, SessionId session) noexcept {
  Trace(L"InitializeRemotePipe()\n");
  if (!IsUsableMachineName(machineName)) {
    Trace(L"InitializeRemotePipe - machine name empty, too long or malformed; refused\n");
    return FALSE;
  }

  AcquireSRWLockExclusive(&g_handshakeLock);
  // An object of a session that has ended (or whose exit was posted) touches nothing: the
  // names and the receiving pipe's access list belong to the session running now.
  if (!IsSessionOpen(session)) {
    ReleaseSRWLockExclusive(&g_handshakeLock);
    Trace(L"InitializeRemotePipe - the session takes no more commands; nothing changed\n");
    return FALSE;
  }
  UniqueHandle event;
  DWORD generation = 0;
  {
    ExclusiveLock lock(g_stateLock);
    wcscpy(g_szMachineName, machineName);
    DWORD size = ARRAYSIZE(g_szComputerName);
    if (!GetComputerNameW(g_szComputerName, &size)) g_szComputerName[0] = L'\0';
    _snwprintf(g_szGuiPipeName, ARRAYSIZE(g_szGuiPipeName) - 1, kGuiPipeNameFormat, g_szComputerName);
    g_szGuiPipeName[ARRAYSIZE(g_szGuiPipeName) - 1] = L'\0';
    _snwprintf(g_szControlPipeName, ARRAYSIZE(g_szControlPipeName) - 1, kControlPipeNameFormat, g_szMachineName);
    g_szControlPipeName[ARRAYSIZE(g_szControlPipeName) - 1] = L'\0';

    event.reset(CreateEventW(nullptr, TRUE, FALSE, kPipeInitEventName));
    if (event) {
      // The named event may have been left signalled by someone else.
      if (GetLastError() == ERROR_ALREADY_EXISTS) ResetEvent(event.get());
      generation = ++g_dwLastGeneration;
      if (generation == 0) generation = ++g_dwLastGeneration;
      g_hPipeInitEvent = event.get();
      g_dwPipeInitGeneration = generation;
    }
  }
  if (!event) {
    Trace(L"Error #%ld - InitializeRemotePipe - CreateEvent", static_cast<long>(GetLastError()));
    ReleaseSRWLockExclusive(&g_handshakeLock);
    return FALSE;
  }

  // The wait and the post share one deadline. A translation thread that has only just been
  // started may not have its message queue yet: its posts fail until it has.
  const ULONGLONG deadline = GetTickCount64() + kPipeInitWaitMs;

  // The receiving pipe admits every caller only for a service on another computer. Its
  // listening instance is made to match before the probe, so before the service is told of it.
  const bool here = wcscmp(machineName, L".") == 0 || IsThisComputer(machineName, wcslen(machineName));
  SetReceivingPipeAdmission(here ? PipeAdmission::kServiceOnThisComputer : PipeAdmission::kAnyCaller,
                            kAdmissionWaitMs);
  const std::uint32_t first = MakeTranslationParam(static_cast<std::uint16_t>(TW4_5::ID_INIT_PIPE_COM), kFromGui, 0);
  // No layer, or one that takes no more commands, cannot answer: fail at once. A thread whose
  // queue is not there yet refuses posts for a moment: try again until the deadline.
  bool posted = PostTranslationMessage(first, nullptr, session) != FALSE;
  while (!posted && IsSessionOpen(session) && GetTickCount64() < deadline) {
    Sleep(kPostRetryMs);
    posted = PostTranslationMessage(first, nullptr, session) != FALSE;
  }
  bool answered = false;
  if (!posted) {
    Trace(L"PostThreadMessage failed error = %d g_dwTLThreadId = %d\n", static_cast<int>(GetLastError()),
          static_cast<int>(g_dwTLThreadId));
  } else {
    // Only this handshake's own answer counts; another process may signal the named event.
    for (;;) {
      const ULONGLONG now = GetTickCount64();
      const DWORD wait = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
      const bool signalled = WaitForSingleObject(event.get(), wait) == WAIT_OBJECT_0;
      ExclusiveLock lock(g_stateLock);
      answered = g_dwPipeInitAnswered == generation;
      if (answered || !signalled || wait == 0) break;
      ResetEvent(event.get());
    }
  }

  BOOL result = FALSE;
  {
    ExclusiveLock lock(g_stateLock);
    g_hPipeInitEvent = nullptr;
    g_dwPipeInitGeneration = 0;
    // A result from an earlier handshake never counts as this one's.
    result = answered ? g_bPipeInitResult : FALSE;
  }
  event.reset();
  ReleaseSRWLockExclusive(&g_handshakeLock);
  return result;
}

// Translation thread, for ID_INIT_PIPE_COM. Sends the probe to the control pipe named when
// the handshake began and answers that handshake only, if it still waits.
void AnswerPipeInitProbe() noexcept {
  WCHAR pipeName[ARRAYSIZE(g_szControlPipeName)];
  DWORD generation = 0;
  {
    ExclusiveLock lock(g_stateLock);
    generation = g_dwPipeInitGeneration;
    wcscpy(pipeName, g_szControlPipeName);
  }

  PipePacket probe{};  // dwCommand 0, no body
  const BOOL sent = SendData(&probe, pipeName);
  if (sent) Trace(L"InitializeRemotePipe() Success\n");

  ExclusiveLock lock(g_stateLock);
  g_bPipeInitResult = sent;
  if (sent && generation != 0 && generation == g_dwPipeInitGeneration && g_hPipeInitEvent != nullptr) {
    g_dwPipeInitAnswered = generation;
    SetEvent(g_hPipeInitEvent);
  }
}
