#include "support/control_pipe_server.h"

#include <cstring>

namespace {
constexpr DWORD kBufferSize = 60000;
constexpr DWORD kHeaderSize = 48;
constexpr DWORD kDataSizeOffset = 44;
constexpr DWORD kIoWaitMs = 60000;  // a test never idles this long
}  // namespace

ControlPipeServer::ControlPipeServer(AfterPacket after, const wchar_t* name)
    : m_after(after),
      m_name(name),
      m_stopEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      m_packetEvent(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      m_afterEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

ControlPipeServer::~ControlPipeServer() {
  Stop();
  CloseHandle(m_stopEvent);
  CloseHandle(m_packetEvent);
  CloseHandle(m_afterEvent);
}

HANDLE ControlPipeServer::CreateInstance() const {
  // An input buffer, so a client's write completes without waiting for the read.
  return CreateNamedPipeW(m_name, PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED, PIPE_TYPE_BYTE | PIPE_WAIT,
                          PIPE_UNLIMITED_INSTANCES, 0, kBufferSize, 0, nullptr);
}

bool ControlPipeServer::Start() {
  m_firstInstance = CreateInstance();
  if (m_firstInstance == INVALID_HANDLE_VALUE) return false;
  m_thread = CreateThread(nullptr, 0, ThreadProc, this, 0, nullptr);
  return m_thread != nullptr;
}

void ControlPipeServer::Stop() {
  if (m_thread != nullptr) {
    SetEvent(m_stopEvent);
    WaitForSingleObject(m_thread, 10000);
    CloseHandle(m_thread);
    m_thread = nullptr;
  }
  if (m_firstInstance != INVALID_HANDLE_VALUE) CloseHandle(m_firstInstance);
  m_firstInstance = INVALID_HANDLE_VALUE;
}

DWORD WINAPI ControlPipeServer::ThreadProc(void* self) {
  static_cast<ControlPipeServer*>(self)->Run();
  return 0;
}

bool ControlPipeServer::Complete(HANDLE pipe, OVERLAPPED* overlapped, DWORD* bytes) const {
  const HANDLE waits[2] = {m_stopEvent, overlapped->hEvent};
  if (WaitForMultipleObjects(2, waits, FALSE, kIoWaitMs) != WAIT_OBJECT_0 + 1) {
    CancelIo(pipe);
    GetOverlappedResult(pipe, overlapped, bytes, TRUE);
    return false;
  }
  return GetOverlappedResult(pipe, overlapped, bytes, FALSE) != FALSE;
}

void ControlPipeServer::Append(std::size_t connection, const BYTE* data, DWORD bytes) {
  bool whole = false;
  AcquireSRWLockExclusive(&m_lock);
  auto& stream = m_connections[connection];
  stream.insert(stream.end(), data, data + bytes);
  std::size_t& parsed = m_parsed[connection];
  while (stream.size() - parsed >= kHeaderSize) {
    std::uint32_t body = 0;
    std::memcpy(&body, stream.data() + parsed + kDataSizeOffset, sizeof(body));
    if (stream.size() - parsed < kHeaderSize + std::size_t{body}) break;
    m_packets.emplace_back(stream.begin() + parsed, stream.begin() + parsed + kHeaderSize + body);
    parsed += kHeaderSize + body;
    whole = true;
  }
  ReleaseSRWLockExclusive(&m_lock);
  if (whole) SetEvent(m_packetEvent);
}

void ControlPipeServer::Run() {
  HANDLE ioEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE pipe = m_firstInstance;
  m_firstInstance = INVALID_HANDLE_VALUE;
  std::vector<BYTE> buffer(kBufferSize);
  bool stopped = false;
  bool acted = false;  // `after` is done once, on the first connection that delivers a packet
  std::vector<HANDLE> disconnected;  // instances a client was cut off from (kDisconnectAndListen)
  while (!stopped && pipe != INVALID_HANDLE_VALUE) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = ioEvent;
    DWORD bytes = 0;
    ResetEvent(ioEvent);
    if (!ConnectNamedPipe(pipe, &overlapped)) {
      const DWORD error = GetLastError();
      if (error == ERROR_IO_PENDING) {
        stopped = !Complete(pipe, &overlapped, &bytes);
      } else if (error != ERROR_PIPE_CONNECTED) {
        break;
      }
    }
    if (stopped) break;

    AcquireSRWLockExclusive(&m_lock);
    const std::size_t connection = m_connections.size();
    m_connections.emplace_back();
    m_parsed.push_back(0);
    ReleaseSRWLockExclusive(&m_lock);

    bool replaced = false;
    for (;;) {
      overlapped = OVERLAPPED{};
      overlapped.hEvent = ioEvent;
      ResetEvent(ioEvent);
      bytes = 0;
      BOOL ok = ReadFile(pipe, buffer.data(), kBufferSize, &bytes, &overlapped);
      if (!ok && GetLastError() == ERROR_IO_PENDING) {
        ok = Complete(pipe, &overlapped, &bytes);
        if (!ok && WaitForSingleObject(m_stopEvent, 0) == WAIT_OBJECT_0) stopped = true;
      } else if (ok) {
        GetOverlappedResult(pipe, &overlapped, &bytes, FALSE);
      }
      if (!ok) break;  // the client closed its end, or stop
      Append(connection, buffer.data(), bytes);

      AcquireSRWLockShared(&m_lock);
      const bool hasPacket = m_parsed[connection] > 0;
      ReleaseSRWLockShared(&m_lock);
      if (m_after == AfterPacket::kKeepReading || acted || !hasPacket) continue;
      acted = true;
      if (m_after == AfterPacket::kCloseAndListen) {
        // The new instance exists before the event: a client that opens now finds it.
        const HANDLE next = CreateInstance();
        CloseHandle(pipe);
        pipe = next;
        replaced = true;
        SetEvent(m_afterEvent);
        break;
      }
      if (m_after == AfterPacket::kDisconnectAndListen) {
        // A new instance exists before the event, as above; the disconnected one stays open
        // until the end, so the client's handle keeps seeing a disconnected pipe.
        const HANDLE next = CreateInstance();
        DisconnectNamedPipe(pipe);
        disconnected.push_back(pipe);
        pipe = next;
        replaced = true;
        SetEvent(m_afterEvent);
        break;
      }
      DisconnectNamedPipe(pipe);
      SetEvent(m_afterEvent);
      // Stay with the disconnected instance until told to stop.
      WaitForSingleObject(m_stopEvent, kIoWaitMs);
      stopped = true;
      break;
    }
    if (stopped) break;
    // The client went away: listen for the next one on the same instance.
    if (!replaced) DisconnectNamedPipe(pipe);
  }
  if (pipe != INVALID_HANDLE_VALUE) CloseHandle(pipe);
  for (HANDLE old : disconnected) CloseHandle(old);
  CloseHandle(ioEvent);
}

std::vector<std::vector<BYTE>> ControlPipeServer::Connections() const {
  AcquireSRWLockShared(&m_lock);
  auto copy = m_connections;
  ReleaseSRWLockShared(&m_lock);
  return copy;
}

std::vector<std::vector<BYTE>> ControlPipeServer::Packets() const {
  AcquireSRWLockShared(&m_lock);
  auto copy = m_packets;
  ReleaseSRWLockShared(&m_lock);
  return copy;
}

bool ControlPipeServer::WaitForPackets(std::size_t count, DWORD timeoutMs) const {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  for (;;) {
    AcquireSRWLockShared(&m_lock);
    const bool enough = m_packets.size() >= count;
    ReleaseSRWLockShared(&m_lock);
    if (enough) return true;
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) return false;
    WaitForSingleObject(m_packetEvent, static_cast<DWORD>(deadline - now < 50 ? deadline - now : 50));
  }
}
