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
volatile LONG g_serviceLost = 0;      // a connection of this layer ended and no other came yet
volatile LONG g_dropConnection = 0;   // the connection in hand must end for a stricter access list
// The session the pipe thread posts for: set before the thread starts.
volatile SessionId g_pipeSession = 0;

bool StopRequested() noexcept { return InterlockedCompareExchange(&g_pipeStopRequested, 0, 0) != 0; }
bool ConnectionMustEnd() noexcept {
  return StopRequested() || InterlockedCompareExchange(&g_dropConnection, 0, 0) != 0;
}

// The pipe thread's instance as other threads see it, all under g_linkLock: whom the layer
// wants admitted, what the instance is doing and whom it admits, and the pipe thread's own
// handle, through which its blocking call is cancelled.
enum class InstanceState {
  kNone,       // no instance, and the next one is made for whom is wanted then
  kCreating,   // one is being made, or the last one is closing
  kListening,  // blocked in ConnectNamedPipe
  kConnected,  // reading the service's packets
};
SRWLOCK g_linkLock = SRWLOCK_INIT;
PipeAdmission g_wanted = PipeAdmission::kServiceOnThisComputer;
InstanceState g_state = InstanceState::kNone;
PipeAdmission g_instanceAdmits = PipeAdmission::kServiceOnThisComputer;
HANDLE g_linkThread = nullptr;
DWORD g_linkThreadId = 0;

// A failed instance is tried again after this pause; a replacement checks this often.
constexpr DWORD kRetryPauseMs = 100;
constexpr DWORD kReplaceStepMs = 10;

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
    if (read == 0 && ConnectionMustEnd()) return ReadResult::kFailed;
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

// Publishes the running pipe thread, with a handle to itself, for as long as it lives. A
// newer layer's pipe thread takes the place over; the older one then leaves its loop.
class PipeThreadRegistration {
 public:
  PipeThreadRegistration() noexcept {
    HANDLE self = nullptr;
    if (DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &self, THREAD_TERMINATE, FALSE,
                        0)) {
      m_self.reset(self);
    }
    ExclusiveLock lock(g_linkLock);
    g_linkThread = m_self.get();
    g_linkThreadId = GetCurrentThreadId();
    g_state = InstanceState::kNone;
  }
  ~PipeThreadRegistration() {
    ExclusiveLock lock(g_linkLock);
    if (g_linkThreadId != GetCurrentThreadId()) return;
    g_linkThread = nullptr;
    g_linkThreadId = 0;
    g_state = InstanceState::kNone;
  }
  PipeThreadRegistration(const PipeThreadRegistration&) = delete;
  PipeThreadRegistration& operator=(const PipeThreadRegistration&) = delete;

  [[nodiscard]] bool Current() const noexcept {
    ExclusiveLock lock(g_linkLock);
    return g_linkThreadId == GetCurrentThreadId();
  }

 private:
  UniqueHandle m_self;
};

// Pipe thread: an instance is about to be made; whom it is to admit.
PipeAdmission BeginInstance() noexcept {
  ExclusiveLock lock(g_linkLock);
  g_state = InstanceState::kCreating;
  InterlockedExchange(&g_dropConnection, 0);
  return g_wanted;
}

void PublishInstance(InstanceState state, PipeAdmission admits) noexcept {
  ExclusiveLock lock(g_linkLock);
  g_state = state;
  g_instanceAdmits = admits;
}

// What a replacement still has to do, under g_linkLock.
enum class ReplaceStep { kDone, kWait, kCancel };
ReplaceStep NextReplaceStep(PipeAdmission wanted) noexcept {
  switch (g_state) {
    case InstanceState::kNone:
      return ReplaceStep::kDone;
    case InstanceState::kCreating:
      return ReplaceStep::kWait;
    case InstanceState::kListening:
      return g_instanceAdmits == wanted ? ReplaceStep::kDone : ReplaceStep::kCancel;
    case InstanceState::kConnected:
      break;
  }
  const bool admittedByAll = g_instanceAdmits == PipeAdmission::kAnyCaller;
  return admittedByAll && wanted == PipeAdmission::kServiceOnThisComputer ? ReplaceStep::kCancel : ReplaceStep::kDone;
}

}  // namespace

void ResetPipeThreadStop(SessionId session) noexcept {
  g_pipeSession = session;
  InterlockedExchange(&g_pipeStopRequested, 0);
  InterlockedExchange(&g_serviceLost, 0);
  ExclusiveLock lock(g_linkLock);
  g_wanted = PipeAdmission::kServiceOnThisComputer;
}

PipeAdmission WantedReceivingPipeAdmission() noexcept {
  ExclusiveLock lock(g_linkLock);
  return g_wanted;
}

bool HasServiceLostReceivingPipe() noexcept { return InterlockedCompareExchange(&g_serviceLost, 0, 0) != 0; }

bool SetReceivingPipeAdmission(PipeAdmission admission, DWORD waitMs) noexcept {
  const ULONGLONG deadline = GetTickCount64() + waitMs;
  for (;;) {
    {
      ExclusiveLock lock(g_linkLock);
      g_wanted = admission;
      const ReplaceStep step = NextReplaceStep(admission);
      if (step == ReplaceStep::kDone) return true;
      if (step == ReplaceStep::kCancel && g_linkThread != nullptr) {
        // The thread may be just before its blocking call: the next pass cancels again.
        if (g_state == InstanceState::kConnected) InterlockedExchange(&g_dropConnection, 1);
        CancelSynchronousIo(g_linkThread);
      }
    }
    if (GetTickCount64() >= deadline) {
      Trace(L"SetReceivingPipeAdmission - the receiving pipe was not replaced in time\n");
      return false;
    }
    Sleep(kReplaceStepMs);
  }
}

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
  // Built once per layer: the service's account is read here, not for every instance.
  ReceivingPipeSecurity security;
  if (!security.usable()) return;
  const PipeThreadRegistration registration;

  CloseStaleSendingPipe();
  HANDLE firstReady = ready;
  while (!StopRequested() && registration.Current()) {
    UniqueHandle pipe(WaitForClientConnection(window, pipeName, security, firstReady));
    firstReady = nullptr;
    if (!pipe) continue;
    PipeIn(window, locked.as<BYTE>(), pipe.get());
    // A new connection starts from a fresh instance and a fresh header read.
    if (!StopRequested()) InterlockedExchange(&g_serviceLost, 1);
  }
}

HANDLE WaitForClientConnection(HWND window, const wchar_t* pipeName, ReceivingPipeSecurity& security,
                               HANDLE ready) noexcept {
  ReadySignal signal(ready);
  const PipeAdmission admits = BeginInstance();
  SECURITY_ATTRIBUTES* attributes = security.ForInstance(admits);
  UniqueHandle pipe(attributes == nullptr
                        ? INVALID_HANDLE_VALUE
                        : CreateNamedPipeW(pipeName, PIPE_ACCESS_INBOUND, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT,
                                           100, kPipePacketRoom, 0, 0, attributes));
  if (!pipe) {
    Trace(L"Error #%d - PipeIn - WaitForClientConnection - CreateNamedPipe", static_cast<int>(GetLastError()));
    PublishInstance(InstanceState::kNone, admits);
    Sleep(kRetryPauseMs);
    return INVALID_HANDLE_VALUE;
  }
  PublishInstance(InstanceState::kListening, admits);
  signal.Set();  // the pipe exists: the service may connect from now on
  if (StopRequested()) return INVALID_HANDLE_VALUE;  // a stop that cancelled nothing yet
  // The service may have connected between the creation and the wait: that is a connection.
  if (!ConnectNamedPipe(pipe.get(), nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) {
    // Cancelled: a stop, or a replacement that makes the next instance at once.
    if (GetLastError() == ERROR_OPERATION_ABORTED || StopRequested()) return INVALID_HANDLE_VALUE;
    Trace(L"Error #%d - PipeIn - WaitForClientConnection - ConnectNamedPipe", static_cast<int>(GetLastError()));
    pipe.reset();
    PublishInstance(InstanceState::kNone, admits);
    Sleep(kRetryPauseMs);
    return INVALID_HANDLE_VALUE;
  }
  if (StopRequested()) return INVALID_HANDLE_VALUE;
  PublishInstance(InstanceState::kConnected, admits);
  InterlockedExchange(&g_serviceLost, 0);
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
        if (!ConnectionMustEnd()) Trace(L"Error #%ld - PipeIn - InData - ReadFile", static_cast<long>(GetLastError()));
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
        } else if (!ConnectionMustEnd()) {
          Trace(L"Error #%ld - PipeIn - InData - ReadFile#2", static_cast<long>(GetLastError()));
        }
        open = false;
        break;
      }
      if (read == 0 && ConnectionMustEnd()) {
        open = false;
        break;
      }
      arrived += read;
    }
    // A connection that must end posts nothing more, not even a whole packet in hand.
    if (ConnectionMustEnd()) return;

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
