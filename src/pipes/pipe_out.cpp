#include "pipes/pipe_out.h"

namespace {
SRWLOCK g_pipeOutLock = SRWLOCK_INIT;
HANDLE g_hPipeOut = INVALID_HANDLE_VALUE;
// The control pipe's name the open handle was opened by; room for the longest name a
// caller passes (it is compared, never opened).
constexpr int kNameRoom = 260;
WCHAR g_szPipeOutName[kNameRoom] = {};
PipeWriteFunction volatile g_pipeWriteFunction = nullptr;
}  // namespace

void SetPipeWriteFunction(PipeWriteFunction function) noexcept { g_pipeWriteFunction = function; }

bool IsPipeOutOpen() noexcept {
  AcquireSRWLockShared(&g_pipeOutLock);
  const bool open = g_hPipeOut != INVALID_HANDLE_VALUE;
  ReleaseSRWLockShared(&g_pipeOutLock);
  return open;
}

bool IsPipeOutOpenTo(const wchar_t* name) noexcept {
  AcquireSRWLockShared(&g_pipeOutLock);
  const bool open = g_hPipeOut != INVALID_HANDLE_VALUE && name != nullptr &&
                    CompareStringOrdinal(g_szPipeOutName, -1, name, -1, TRUE) == CSTR_EQUAL;
  ReleaseSRWLockShared(&g_pipeOutLock);
  return open;
}

void SetPipeOut(HANDLE pipe, const wchar_t* name) noexcept {
  AcquireSRWLockExclusive(&g_pipeOutLock);
  const HANDLE old = g_hPipeOut;
  g_hPipeOut = pipe == nullptr ? INVALID_HANDLE_VALUE : pipe;
  // A name too long for the room is kept empty: it then matches no name, and the next send
  // to any name opens afresh.
  g_szPipeOutName[0] = L'\0';
  if (name != nullptr && lstrlenW(name) < kNameRoom) lstrcpynW(g_szPipeOutName, name, kNameRoom);
  ReleaseSRWLockExclusive(&g_pipeOutLock);
  if (old != INVALID_HANDLE_VALUE && old != pipe) CloseHandle(old);
}

BOOL WritePipeOut(const void* data, DWORD bytes, DWORD* written) noexcept {
  *written = 0;
  // Shared: a write and a close never overlap; writes come from the translation thread only.
  AcquireSRWLockShared(&g_pipeOutLock);
  BOOL ok = FALSE;
  if (g_hPipeOut == INVALID_HANDLE_VALUE) {
    SetLastError(ERROR_INVALID_HANDLE);
  } else {
    if (PipeWriteFunction write = g_pipeWriteFunction) {
      ok = write(g_hPipeOut, data, bytes, written);
    } else {
      ok = WriteFile(g_hPipeOut, data, bytes, written, nullptr);
    }
  }
  const DWORD error = GetLastError();
  ReleaseSRWLockShared(&g_pipeOutLock);
  SetLastError(error);
  return ok;
}

void ClosePipeOut() noexcept {
  AcquireSRWLockExclusive(&g_pipeOutLock);
  const HANDLE old = g_hPipeOut;
  g_hPipeOut = INVALID_HANDLE_VALUE;
  ReleaseSRWLockExclusive(&g_pipeOutLock);
  if (old != INVALID_HANDLE_VALUE) CloseHandle(old);
  Sleep(100);
}
