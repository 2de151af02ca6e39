#include "pipes/pipe_out.h"

namespace {
SRWLOCK g_pipeOutLock = SRWLOCK_INIT;
HANDLE g_hPipeOut = INVALID_HANDLE_VALUE;
PipeWriteFunction volatile g_pipeWriteFunction = nullptr;
}  // namespace

void SetPipeWriteFunction(PipeWriteFunction function) noexcept { g_pipeWriteFunction = function; }

bool IsPipeOutOpen() noexcept {
  AcquireSRWLockShared(&g_pipeOutLock);
  const bool open = g_hPipeOut != INVALID_HANDLE_VALUE;
  ReleaseSRWLockShared(&g_pipeOutLock);
  return open;
}

void SetPipeOut(HANDLE pipe) noexcept {
  AcquireSRWLockExclusive(&g_pipeOutLock);
  const HANDLE old = g_hPipeOut;
  g_hPipeOut = pipe == nullptr ? INVALID_HANDLE_VALUE : pipe;
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
