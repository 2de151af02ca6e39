#pragma once
// The service's control pipe "\\.\pipe\TarnswellControlPipe": the module writes every command
// into it as a pipe packet. One listener thread keeps an instance waiting at all times, so a
// client finds the pipe whenever it comes (also to reconnect); each connection is read on a
// thread of its own until the client closes its end. Every wait also watches the stop event,
// so Stop() always gets through.

#include <windows.h>

#include <atomic>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "pipes/pipe_packet.h"
#include "shared/owners.h"

class ControlPipeServer {
 public:
  // Called on a connection's thread for every whole packet; the body belongs to the callee.
  using Handler = std::function<void(const PipePacket& header, std::vector<BYTE> body)>;

  ControlPipeServer() = default;
  ~ControlPipeServer() { Stop(); }
  ControlPipeServer(const ControlPipeServer&) = delete;
  ControlPipeServer& operator=(const ControlPipeServer&) = delete;

  // Creates the first pipe instance before it returns, so that the pipe exists as soon as the
  // service reports itself running. False when the pipe cannot be created.
  bool Start(Handler handler);
  // Ends the listener and every connection; waits for their threads.
  void Stop();

 private:
  struct Connection {
    std::thread thread;
    std::atomic<bool> done{false};
  };
  UniqueHandle CreateInstance();
  // Listener thread: owns the waiting instance; hands each connected one to a new thread.
  void ListenLoop(UniqueHandle first);
  // Connection thread: owns the connected instance; reads packets until the client leaves.
  void Serve(UniqueHandle pipe, Connection* self);
  bool ReadExact(HANDLE pipe, BYTE* data, DWORD bytes);
  void ReapConnections(bool all);

  Handler m_handler;
  UniqueHandle m_stop;
  std::thread m_listener;
  std::mutex m_lock;
  std::list<std::unique_ptr<Connection>> m_connections;
};
