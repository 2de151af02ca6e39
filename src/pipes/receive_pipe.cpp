#include "pipes/receive_pipe.h"

#include <algorithm>
#include <cstring>

#include "pipes/pipe_out.h"
#include "pipes/pipe_packet.h"
#include "shared/block.h"
#include "shared/message_box.h"
#include "shared/owners.h"
#include "shared/trace.h"
#include "handoff/commands.h"
#include "handoff/translation_message.h"

namespace {

volatile LONG g_pipeStopRequested = 0;
volatile LONG g_serviceLost = 0;
// The session the pipe thread posts for: set before the thread starts.
volatile SessionId g_pipeSession = 0;

bool StopRequested() noexcept { return InterlockedCompareExchange(&g_pipeStopRequested, 0, 0) != 0; }

// Stale sending pipe: passes of 100 ms before the user is told.
constexpr int kClosePipeOutPasses = 50;
// Stopping the pipe thread: cancel tries, each followed by a short wait.
constexpr int kStopTries = 50;
constexpr DWORD kStopWaitMs = 40;

void NotifyWindow(HWND window, UINT_PTR code) noexcept {
  if (window != nullptr) SendMessageW(window, WM_COMMAND, code, 0);
}

enum class ReadResult { kComplete, kBroken, kFailed };

// Reads exactly `bytes` bytes (a byte-mode pipe may hand them over in pieces).
ReadResult ReadExact(HANDLE pipe, BYTE* into, DWORD bytes) noexcept {
  DWORD done = 0;
  while (done < bytes) {
    DWORD read = 0;
    if (!ReadFile(pipe, into + done, bytes - done, &read, nullptr)) {
      return GetLastError() == ERROR_BROKEN_PIPE ? ReadResult::kBroken : ReadResult::kFailed;
    }
    if (read == 0 && StopRequested()) return ReadResult::kFailed;
    done += read;
  }
  return ReadResult::kComplete;
}

// Closes a sending pipe that is still open before the receiving pipe listens.
void CloseStaleSendingPipe() noexcept {
  int passes = 0;
  while (IsPipeOutOpen() && !StopRequested()) {
    ClosePipeOut();
    if (passes >= kClosePipeOutPasses) {
      ShowMessageBox(L"Timeout error pipe did not disconnect", L"Tarnswell", MB_ICONERROR);
      break;
    }
    Sleep(100);
    ++passes;
  }
}

// Sets an event once, at the latest when it goes out of scope.
class ReadySignal {
 public:
  explicit ReadySignal(HANDLE event) noexcept : m_event(event) {}
  ~ReadySignal() { Set(); }
  ReadySignal(const ReadySignal&) = delete;
  ReadySignal& operator=(const ReadySignal&) = delete;
  void Set() noexcept {
    if (m_event != nullptr) SetEvent(m_event);
    m_event = nullptr;
  }

 private:
  HANDLE m_event;
};

}  // namespace

void ResetPipeThreadStop(SessionId session) noexcept {
  g_pipeSession = session;
  InterlockedExchange(&g_serviceLost, 0);
  InterlockedExchange(&g_pipeStopRequested, 0);
}

bool HasServiceLostReceivingPipe() noexcept { return InterlockedCompareExchange(&g_serviceLost, 0, 0) != 0; }

void StopPipeThread(HANDLE thread) noexcept {
  if (thread == nullptr) return;
  InterlockedExchange(&g_pipeStopRequested, 1);
  bool ended = WaitForSingleObject(thread, 0) == WAIT_OBJECT_0;
  // The thread may enter a blocking call just after a cancel: cancel again until it is out.
  for (int i = 0; i < kStopTries && !ended; ++i) {
    CancelSynchronousIo(thread);
    ended = WaitForSingleObject(thread, kStopWaitMs) == WAIT_OBJECT_0;
  }
  if (!ended) {
    Trace(L"StopPipeThread - TerminateThread\n");
    TerminateThread(thread, 0);
    WaitForSingleObject(thread, kStopWaitMs);  // termination completes asynchronously
  }
  CloseHandle(thread);
}

void RequestPipeThreadStop(HANDLE thread) noexcept {
  if (thread == nullptr) return;
  InterlockedExchange(&g_pipeStopRequested, 1);
  CancelSynchronousIo(thread);
  CloseHandle(thread);
}

DWORD WINAPI PipeThreadFunc(void* ready) {
  UniqueHandle readyEvent(static_cast<HANDLE>(ready));
  InPipe(nullptr, kGuiPipeLocalName, readyEvent.get());
  return 0;
}

void InPipe(HWND window, const wchar_t* pipeName, HANDLE ready) noexcept {
  ReadySignal signal(ready);
  UniqueHGlobal buffer(GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, kPipePacketRoom));
  if (!buffer) {
    Trace(L"InPipe - GlobalAlloc");
    return;
  }
  GlobalLockGuard locked(buffer.get());
  if (!locked.locked()) {
    Trace(L"InPipe - GlobalLock");
    return;
  }
  UniqueHandle pipe(WaitForClientConnection(window, pipeName, ready));
  if (!pipe) return;
  InterlockedExchange(&g_serviceLost, 0);
  PipeIn(window, locked.as<BYTE>(), pipe.get());
  if (!StopRequested()) InterlockedExchange(&g_serviceLost, 1);
}

HANDLE WaitForClientConnection(HWND window, const wchar_t* pipeName, HANDLE ready) noexcept {
  ReadySignal signal(ready);
  SECURITY_DESCRIPTOR descriptor;
  if (!InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION)) {
    Trace(L"Error #%ld - PipeIn - WaitForClientConnection - InitializeSecurityDescriptor",
          static_cast<long>(GetLastError()));
    return INVALID_HANDLE_VALUE;
  }
  // A present but null access list: the service may connect from any account or machine.
  if (!SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE)) {
    Trace(L"Error #%ld - PipeIn - WaitForClientConnection - SetSecurityDescriptor",
          static_cast<long>(GetLastError()));
    return INVALID_HANDLE_VALUE;
  }
  SECURITY_ATTRIBUTES attributes{sizeof(attributes), &descriptor, TRUE};

  CloseStaleSendingPipe();
  if (StopRequested()) return INVALID_HANDLE_VALUE;

  UniqueHandle pipe(CreateNamedPipeW(pipeName, PIPE_ACCESS_INBOUND, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT,
                                     100, kPipePacketRoom, 0, 0, &attributes));
  if (!pipe) {
    Trace(L"Error #%d - PipeIn - WaitForClientConnection - CreateNamedPipe", static_cast<int>(GetLastError()));
    return INVALID_HANDLE_VALUE;
  }
  signal.Set();  // the pipe exists: the service may connect from now on
  // The service may have connected between the creation and the wait: that is a connection.
  if (!ConnectNamedPipe(pipe.get(), nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) {
    if (!StopRequested()) {
      Trace(L"Error #%d - PipeIn - WaitForClientConnection - ConnectNamedPipe", static_cast<int>(GetLastError()));
    }
    return INVALID_HANDLE_VALUE;
  }
  if (StopRequested()) return INVALID_HANDLE_VALUE;
  NotifyWindow(window, ID_PIPE_CONNECTED);
  return pipe.release();
}

void PipeIn(HWND window, BYTE* buffer, HANDLE pipe) noexcept {
  auto* header = reinterpret_cast<PipePacket*>(buffer);
  for (;;) {
    // Header: all 48 bytes, however the pipe hands them over.
    switch (ReadExact(pipe, buffer, kPipeHeaderSize)) {
      case ReadResult::kComplete:
        break;
      case ReadResult::kBroken:
        NotifyWindow(window, ID_PIPE_DISCONNECTED);
        return;
      case ReadResult::kFailed:
        if (!StopRequested()) Trace(L"Error #%ld - PipeIn - InData - ReadFile", static_cast<long>(GetLastError()));
        return;
    }

    // Body: in pieces of at most 4000 bytes. What does not fit the buffer is read and thrown
    // away, so the stream stays in step with the service.
    const std::uint32_t announced = header->dwDataSize;
    const bool fits = announced <= kPipeMaxBody;
    std::uint32_t arrived = 0;
    bool open = true;
    while (arrived < announced) {
      const std::uint32_t offset = fits ? arrived : (arrived % kPipeMaxBody);
      const DWORD ask = static_cast<DWORD>(std::min<std::uint32_t>(
          {announced - arrived, kPipeBodyChunk, kPipeMaxBody - offset}));
      DWORD read = 0;
      if (!ReadFile(pipe, buffer + kPipeHeaderSize + offset, ask, &read, nullptr)) {
        if (GetLastError() == ERROR_BROKEN_PIPE) {
          NotifyWindow(window, ID_PIPE_DISCONNECTED);
        } else if (!StopRequested()) {
          Trace(L"Error #%ld - PipeIn - InData - ReadFile#2", static_cast<long>(GetLastError()));
        }
        open = false;
        break;
      }
      if (read == 0 && StopRequested()) {
        open = false;
        break;
      }
      arrived += read;
    }
    if (StopRequested()) return;

    // A packet is handed on only whole: never with a body it does not hold.
    if (arrived < announced) {
      Trace(L"PipeIn - connection ended inside a body of %u bytes; packet dropped\n", announced);
    } else if (!fits) {
      Trace(L"PipeIn - body of %u bytes does not fit the receive buffer; packet dropped\n", announced);
    } else if (header->dwCommand > 0xFFFF) {
      // Its upper bytes would land in the direction flag and the letter byte.
      Trace(L"PipeIn - command %u is no command; packet dropped\n", header->dwCommand);
    } else {
      const std::uint32_t size = kPipeHeaderSize + announced;
      UniqueBlock copy(static_cast<BYTE*>(AllocBlock(size)));
      if (!copy) {
        Trace(L"PipeIn - allocating %d bytes failed; packet dropped\n", static_cast<int>(size));
      } else {
        Trace(L"Pipe in allocate %d bytes at address %d\n", static_cast<int>(size), TraceAddress(copy.get()));
        std::memcpy(copy.get(), buffer, size);
        Trace(L"Received Pipe Data from Service in PipeIn()\n");
        Trace(L"Posting Message from 4.0 Service to TL\n");
        if (PostTranslationMessage(header->dwCommand, copy.get(), g_pipeSession, &g_pipeStopRequested)) {
          (void)copy.release();  // the translation thread's now
        } else {
          Trace(L"PostThreadMessage failed error = %d g_dwTLThreadId = %d\n", static_cast<int>(GetLastError()),
                static_cast<int>(g_dwTLThreadId));
        }
      }
    }
    if (!open) return;
  }
}
