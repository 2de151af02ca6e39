#include "support/service_peer.h"

#include <cstring>

#include "handoff/commands.h"

namespace {

constexpr DWORD kJoinMs = 5000;

struct ReaderContext {
  ServicePeer* peer;
  HANDLE pipe;
};

// Waits for an overlapped operation or the stop event. False on stop or failure.
bool Complete(HANDLE pipe, OVERLAPPED& ov, HANDLE stop, DWORD* transferred) {
  const HANDLE handles[] = {stop, ov.hEvent};
  if (WaitForMultipleObjects(2, handles, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) {
    CancelIo(pipe);
    GetOverlappedResult(pipe, &ov, transferred, TRUE);
    return false;
  }
  return GetOverlappedResult(pipe, &ov, transferred, FALSE) != FALSE;
}

}  // namespace

ServicePeer::ServicePeer()
    : m_stop(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      m_changed(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      m_listening(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
  m_listener = CreateThread(nullptr, 0, &ServicePeer::ListenThread, this, 0, nullptr);
  WaitForSingleObject(m_listening, kJoinMs);
}

ServicePeer::~ServicePeer() {
  Shutdown();
  CloseHandle(m_listening);
  CloseHandle(m_changed);
  CloseHandle(m_stop);
}

void ServicePeer::Restart(bool keepGuiPipe) {
  Shutdown(keepGuiPipe);
  AcquireSRWLockExclusive(&m_lock);
  if (!keepGuiPipe) m_guiConnected = false;
  ReleaseSRWLockExclusive(&m_lock);
  ResetEvent(m_stop);
  ResetEvent(m_listening);
  m_listener = CreateThread(nullptr, 0, &ServicePeer::ListenThread, this, 0, nullptr);
  WaitForSingleObject(m_listening, kJoinMs);
}

void ServicePeer::Shutdown(bool keepGuiPipe) {
  SetEvent(m_stop);
  if (m_listener != nullptr) {
    WaitForSingleObject(m_listener, kJoinMs);
    CloseHandle(m_listener);
    m_listener = nullptr;
  }
  AcquireSRWLockExclusive(&m_lock);
  std::vector<HANDLE> readers = m_readers;
  ReleaseSRWLockExclusive(&m_lock);
  for (HANDLE reader : readers) {
    WaitForSingleObject(reader, kJoinMs);
    CloseHandle(reader);
  }
  AcquireSRWLockExclusive(&m_lock);
  m_readers.clear();
  ReleaseSRWLockExclusive(&m_lock);
  if (keepGuiPipe) return;
  AcquireSRWLockExclusive(&m_writeLock);
  m_gui.Close();
  ReleaseSRWLockExclusive(&m_writeLock);
}

DWORD WINAPI ServicePeer::ListenThread(void* self) {
  static_cast<ServicePeer*>(self)->Listen();
  return 0;
}

DWORD WINAPI ServicePeer::ReadThread(void* context) {
  auto* c = static_cast<ReaderContext*>(context);
  c->peer->Read(c->pipe);
  delete c;
  return 0;
}

namespace {

// One listening instance of the control pipe and its pending connection.
struct ListenSlot {
  HANDLE pipe = INVALID_HANDLE_VALUE;
  HANDLE event = nullptr;  // manual-reset; set when a client has connected
  OVERLAPPED ov{};
};

// Makes a fresh instance and starts waiting for a client on it. False when no instance could
// be made or the wait could not be started.
bool Arm(ListenSlot& slot) {
  slot.pipe = CreateNamedPipeW(kControlPipeLocalName, PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED,
                               PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES, 0,
                               kPipePacketRoom, 0, nullptr);
  if (slot.pipe == INVALID_HANDLE_VALUE) return false;
  ZeroMemory(&slot.ov, sizeof(slot.ov));
  slot.ov.hEvent = slot.event;
  ResetEvent(slot.event);
  if (ConnectNamedPipe(slot.pipe, &slot.ov)) {
    SetEvent(slot.event);
    return true;
  }
  const DWORD error = GetLastError();
  if (error == ERROR_PIPE_CONNECTED) {
    SetEvent(slot.event);
    return true;
  }
  if (error == ERROR_IO_PENDING) return true;
  CloseHandle(slot.pipe);
  slot.pipe = INVALID_HANDLE_VALUE;
  return false;
}

void Disarm(ListenSlot& slot) {
  if (slot.pipe != INVALID_HANDLE_VALUE) {
    DWORD unused = 0;
    CancelIo(slot.pipe);
    GetOverlappedResult(slot.pipe, &slot.ov, &unused, TRUE);
    CloseHandle(slot.pipe);
    slot.pipe = INVALID_HANDLE_VALUE;
  }
  if (slot.event != nullptr) CloseHandle(slot.event);
  slot.event = nullptr;
}

}  // namespace

// Listener thread. Two instances listen at all times: while the one a client just took is
// being replaced, the other is there for the next connection, so the module never finds the
// pipe busy between two of its connections however late this thread runs. Each connected
// instance goes to a reader thread of its own, which owns it.
void ServicePeer::Listen() {
  ListenSlot slots[2];
  bool armed = true;
  for (ListenSlot& slot : slots) {
    slot.event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    armed = armed && slot.event != nullptr && Arm(slot);
  }
  SetEvent(m_listening);
  while (armed) {
    const HANDLE waits[] = {m_stop, slots[0].event, slots[1].event};
    const DWORD woke = WaitForMultipleObjects(3, waits, FALSE, INFINITE);
    if (woke != WAIT_OBJECT_0 + 1 && woke != WAIT_OBJECT_0 + 2) break;  // stop, or the wait failed
    ListenSlot& slot = slots[woke - WAIT_OBJECT_0 - 1];
    DWORD unused = 0;
    const bool connected = GetOverlappedResult(slot.pipe, &slot.ov, &unused, FALSE) ||
                           GetLastError() == ERROR_PIPE_CONNECTED;
    if (connected) {
      AcquireSRWLockExclusive(&m_lock);
      ++m_connections;
      auto* context = new ReaderContext{this, slot.pipe};
      HANDLE reader = CreateThread(nullptr, 0, &ServicePeer::ReadThread, context, 0, nullptr);
      if (reader != nullptr) m_readers.push_back(reader);
      ReleaseSRWLockExclusive(&m_lock);
      if (reader == nullptr) {
        delete context;
        CloseHandle(slot.pipe);
      }
      Changed();
    } else {
      CloseHandle(slot.pipe);
    }
    slot.pipe = INVALID_HANDLE_VALUE;
    armed = Arm(slot);
  }
  for (ListenSlot& slot : slots) Disarm(slot);
}

bool ServicePeer::ReadExact(HANDLE pipe, HANDLE ioEvent, BYTE* into, DWORD bytes) {
  DWORD done = 0;
  while (done < bytes) {
    OVERLAPPED ov{};
    ov.hEvent = ioEvent;
    ResetEvent(ioEvent);
    DWORD read = 0;
    if (!ReadFile(pipe, into + done, bytes - done, nullptr, &ov)) {
      if (GetLastError() != ERROR_IO_PENDING) return false;
    }
    if (!Complete(pipe, ov, m_stop, &read)) return false;
    done += read;
  }
  return true;
}

void ServicePeer::Read(HANDLE pipe) {
  HANDLE ioEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  for (;;) {
    ServicePacket packet{};
    if (!ReadExact(pipe, ioEvent, reinterpret_cast<BYTE*>(&packet.header), kPipeHeaderSize)) break;
    if (packet.header.dwDataSize > kPipeMaxBody) break;  // no such packet: the stream is lost
    packet.body.resize(packet.header.dwDataSize);
    if (packet.header.dwDataSize != 0 &&
        !ReadExact(pipe, ioEvent, packet.body.data(), packet.header.dwDataSize)) {
      break;
    }
    QueryPerformanceCounter(&packet.readAt);
    const bool guiStart = packet.header.dwCommand == TW4_0::ID_GUI_START;
    std::wstring announced;
    if (guiStart && packet.body.size() >= sizeof(WCHAR)) {
      announced.assign(reinterpret_cast<const WCHAR*>(packet.body.data()), packet.body.size() / sizeof(WCHAR));
      announced.resize(wcsnlen(announced.c_str(), announced.size()));
    }
    AcquireSRWLockExclusive(&m_lock);
    m_packets.push_back(std::move(packet));
    m_lastPacketTick = GetTickCount64();
    if (guiStart) m_announced = announced;
    ReleaseSRWLockExclusive(&m_lock);
    Changed();

    if (guiStart) {
      // As the service does: connect to the receiving pipe the module named. A second start
      // finds the connection made.
      AcquireSRWLockExclusive(&m_writeLock);
      bool connected = m_gui.handle() != INVALID_HANDLE_VALUE || m_gui.Connect(kJoinMs);
      ReleaseSRWLockExclusive(&m_writeLock);
      AcquireSRWLockExclusive(&m_lock);
      m_guiConnected = connected;
      ReleaseSRWLockExclusive(&m_lock);
      Changed();
    }
  }
  CloseHandle(pipe);
  CloseHandle(ioEvent);
  AcquireSRWLockExclusive(&m_lock);
  ++m_disconnects;
  ReleaseSRWLockExclusive(&m_lock);
  Changed();
}

void ServicePeer::Changed() { SetEvent(m_changed); }

bool ServicePeer::WaitFor(const std::function<bool()>& done, DWORD timeoutMs) const {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  for (;;) {
    if (done()) return true;
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) return false;
    WaitForSingleObject(m_changed, static_cast<DWORD>(deadline - now < 50 ? deadline - now : 50));
  }
}

std::vector<ServicePacket> ServicePeer::Packets() const {
  AcquireSRWLockShared(&m_lock);
  auto copy = m_packets;
  ReleaseSRWLockShared(&m_lock);
  return copy;
}

std::size_t ServicePeer::Count() const {
  AcquireSRWLockShared(&m_lock);
  const std::size_t n = m_packets.size();
  ReleaseSRWLockShared(&m_lock);
  return n;
}

bool ServicePeer::PacketAt(std::size_t index, ServicePacket* packet) const {
  AcquireSRWLockShared(&m_lock);
  const bool there = index < m_packets.size();
  if (there) *packet = m_packets[index];
  ReleaseSRWLockShared(&m_lock);
  return there;
}

bool ServicePeer::WaitForCount(std::size_t count, DWORD timeoutMs) const {
  return WaitFor([&] { return Count() >= count; }, timeoutMs);
}

bool ServicePeer::WaitForQuiet(DWORD quietMs, DWORD timeoutMs) const {
  const ULONGLONG start = GetTickCount64();
  return WaitFor(
      [&] {
        AcquireSRWLockShared(&m_lock);
        const ULONGLONG last = m_lastPacketTick > start ? m_lastPacketTick : start;
        ReleaseSRWLockShared(&m_lock);
        return GetTickCount64() - last >= quietMs;
      },
      timeoutMs);
}

bool ServicePeer::WaitForGuiPipe(DWORD timeoutMs) const {
  return WaitFor(
      [&] {
        AcquireSRWLockShared(&m_lock);
        const bool connected = m_guiConnected;
        ReleaseSRWLockShared(&m_lock);
        return connected;
      },
      timeoutMs);
}

std::wstring ServicePeer::AnnouncedGuiPipe() const {
  AcquireSRWLockShared(&m_lock);
  std::wstring copy = m_announced;
  ReleaseSRWLockShared(&m_lock);
  return copy;
}

int ServicePeer::Connections() const {
  AcquireSRWLockShared(&m_lock);
  const int n = m_connections;
  ReleaseSRWLockShared(&m_lock);
  return n;
}

bool ServicePeer::WaitForDisconnects(int count, DWORD timeoutMs) const {
  return WaitFor(
      [&] {
        AcquireSRWLockShared(&m_lock);
        const bool done = m_disconnects >= count;
        ReleaseSRWLockShared(&m_lock);
        return done;
      },
      timeoutMs);
}

bool ServicePeer::Send(std::uint32_t command, WCHAR drive, const std::vector<BYTE>& body, std::uint32_t param,
                       const wchar_t* text) {
  std::vector<BYTE> packet(kPipeHeaderSize + body.size());
  PipePacket header{};
  header.dwCommand = command;
  header.dwParam = param;
  wcsncpy(header.szText, text, 15);
  header.cDrive = drive;
  header.dwDataSize = static_cast<std::uint32_t>(body.size());
  std::memcpy(packet.data(), &header, sizeof(header));
  if (!body.empty()) std::memcpy(packet.data() + kPipeHeaderSize, body.data(), body.size());
  return SendRaw(packet.data(), static_cast<DWORD>(packet.size()));
}

bool ServicePeer::SendRaw(const void* bytes, DWORD size) {
  AcquireSRWLockExclusive(&m_writeLock);
  const bool written = m_gui.handle() != INVALID_HANDLE_VALUE && m_gui.Write(bytes, size);
  ReleaseSRWLockExclusive(&m_writeLock);
  return written;
}

std::vector<ServicePacket> ServicePeer::PacketsFrom(std::size_t from) const {
  AcquireSRWLockShared(&m_lock);
  std::vector<ServicePacket> copy;
  if (from < m_packets.size()) copy.assign(m_packets.begin() + static_cast<std::ptrdiff_t>(from), m_packets.end());
  ReleaseSRWLockShared(&m_lock);
  return copy;
}
