#pragma once
// The service's end of the control pipe, played by a thread: it creates the pipe
// "\\.\pipe\TarnswellControlPipe" (or another name), accepts one client after the other and
// keeps every byte each connection delivered, split into pipe packets. Overlapped I/O against
// a stop event, so Stop always gets through.

#include <windows.h>
#include <cstdint>
#include <vector>

class ControlPipeServer {
 public:
  // What the server does once a connection has delivered its first whole packet.
  enum class AfterPacket {
    kKeepReading,         // read on until the client closes, then listen again
    kCloseAndListen,      // close this instance and listen on a new one (client sees ERROR_NO_DATA)
    kDisconnectAndStay,   // DisconnectNamedPipe and keep the instance, listening no more
    kDisconnectAndListen, // a new instance listens, then DisconnectNamedPipe on the old one
  };

  explicit ControlPipeServer(AfterPacket after = AfterPacket::kKeepReading,
                             const wchar_t* name = L"\\\\.\\pipe\\TarnswellControlPipe");
  ~ControlPipeServer();
  ControlPipeServer(const ControlPipeServer&) = delete;
  ControlPipeServer& operator=(const ControlPipeServer&) = delete;

  // Creates the first instance (so clients find it at once) and starts the thread.
  bool Start();
  void Stop();
  // Signalled whenever a whole packet arrived (auto reset), and when `after` has been done.
  HANDLE PacketEvent() const { return m_packetEvent; }
  HANDLE AfterEvent() const { return m_afterEvent; }

  // Bytes of every connection so far, in order, as they arrived.
  std::vector<std::vector<BYTE>> Connections() const;
  // Whole packets (header and body) over all connections, in order.
  std::vector<std::vector<BYTE>> Packets() const;
  bool WaitForPackets(std::size_t count, DWORD timeoutMs) const;

 private:
  static DWORD WINAPI ThreadProc(void* self);
  void Run();
  HANDLE CreateInstance() const;
  // False when the server was told to stop or the wait ran out.
  bool Complete(HANDLE pipe, OVERLAPPED* overlapped, DWORD* bytes) const;
  void Append(std::size_t connection, const BYTE* data, DWORD bytes);

  AfterPacket m_after;
  const wchar_t* m_name;
  HANDLE m_stopEvent;
  HANDLE m_packetEvent;
  HANDLE m_afterEvent;
  HANDLE m_thread = nullptr;
  HANDLE m_firstInstance = INVALID_HANDLE_VALUE;
  mutable SRWLOCK m_lock = SRWLOCK_INIT;
  std::vector<std::vector<BYTE>> m_connections;
  std::vector<std::vector<BYTE>> m_packets;
  std::vector<std::size_t> m_parsed;  // per connection: bytes already split into packets
};
