#include "service/control_pipe.h"

#include "common/pipe_names.h"
#include "common/text.h"
#include "service/log.h"

namespace {

// Waits for an overlapped operation or the stop event: waiting for a client or a command has
// no natural end, and the stop event is what ends it. True when the operation finished
// (its result is then in GetOverlappedResult); false on stop, after cancelling it.
bool WaitIo(HANDLE handle, OVERLAPPED& overlapped, HANDLE stop) {
  HANDLE waits[2] = {stop, overlapped.hEvent};
  const DWORD which = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
  if (which == WAIT_OBJECT_0 + 1) return true;
  CancelIo(handle);
  DWORD ignored = 0;
  GetOverlappedResult(handle, &overlapped, &ignored, TRUE);  // the cancelled I/O has ended
  return false;
}

}  // namespace

UniqueHandle ControlPipeServer::CreateInstance() {
  // Any account may write commands: a descriptor with a null access list.
  SECURITY_DESCRIPTOR descriptor;
  InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
  SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);
  SECURITY_ATTRIBUTES attributes{sizeof(attributes), &descriptor, FALSE};
  UniqueHandle pipe(CreateNamedPipeW(kControlPipeLocalName, PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED,
                                     PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES,
                                     0, kPipePacketRoom, 0, &attributes));
  if (!pipe) Log(L"cannot create the control pipe: %s", Win32ErrorText(GetLastError()).c_str());
  return pipe;
}

bool ControlPipeServer::Start(Handler handler) {
  m_handler = std::move(handler);
  m_stop.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!m_stop) return false;
  UniqueHandle first = CreateInstance();
  if (!first) return false;
  m_listener = std::thread(&ControlPipeServer::ListenLoop, this, std::move(first));
  Log(L"control pipe %s is open", kControlPipeLocalName);
  return true;
}

void ControlPipeServer::Stop() {
  if (m_stop) SetEvent(m_stop.get());
  if (m_listener.joinable()) m_listener.join();
  ReapConnections(true);
}

void ControlPipeServer::ListenLoop(UniqueHandle pipe) {
  UniqueHandle connected(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  while (pipe && connected) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = connected.get();
    ResetEvent(connected.get());
    bool isConnected = false;
    if (ConnectNamedPipe(pipe.get(), &overlapped)) {
      isConnected = true;
    } else {
      const DWORD error = GetLastError();
      if (error == ERROR_PIPE_CONNECTED) {
        isConnected = true;
      } else if (error == ERROR_IO_PENDING) {
        if (!WaitIo(pipe.get(), overlapped, m_stop.get())) return;  // stopping
        DWORD ignored = 0;
        isConnected = GetOverlappedResult(pipe.get(), &overlapped, &ignored, FALSE) != 0;
      }
    }
    if (WaitForSingleObject(m_stop.get(), 0) == WAIT_OBJECT_0) return;
    if (isConnected) {
      auto connection = std::make_unique<Connection>();
      Connection* self = connection.get();
      std::lock_guard<std::mutex> lock(m_lock);
      connection->thread = std::thread(&ControlPipeServer::Serve, this, std::move(pipe), self);
      m_connections.push_back(std::move(connection));
    } else {
      Log(L"a client failed to connect to the control pipe");
      pipe.reset();
    }
    ReapConnections(false);
    // The next client gets a fresh instance.
    pipe = CreateInstance();
    if (!pipe) {
      Sleep(200);
      pipe = CreateInstance();
    }
  }
}

bool ControlPipeServer::ReadExact(HANDLE pipe, BYTE* data, DWORD bytes) {
  UniqueHandle done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!done) return false;
  DWORD got = 0;
  while (got < bytes) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = done.get();
    ResetEvent(done.get());
    DWORD read = 0;
    if (!ReadFile(pipe, data + got, bytes - got, &read, &overlapped)) {
      const DWORD error = GetLastError();
      if (error != ERROR_IO_PENDING && error != ERROR_MORE_DATA) return false;
      if (error == ERROR_IO_PENDING && !WaitIo(pipe, overlapped, m_stop.get())) return false;
      if (!GetOverlappedResult(pipe, &overlapped, &read, FALSE) && GetLastError() != ERROR_MORE_DATA) return false;
    }
    if (read == 0) return false;
    got += read;
  }
  return true;
}

void ControlPipeServer::Serve(UniqueHandle pipe, Connection* self) {
  Log(L"the module connected to the control pipe");
  for (;;) {
    PipePacket header{};
    if (!ReadExact(pipe.get(), reinterpret_cast<BYTE*>(&header), sizeof(header))) break;
    if (header.dwDataSize > kPipeMaxBody) {
      // A body that cannot fit a packet: the stream can no longer be trusted.
      Log(L"packet %u announces %u body bytes, more than a packet holds; connection dropped",
          header.dwCommand, header.dwDataSize);
      break;
    }
    std::vector<BYTE> body(header.dwDataSize);
    if (header.dwDataSize != 0 && !ReadExact(pipe.get(), body.data(), header.dwDataSize)) break;
    m_handler(header, std::move(body));
  }
  Log(L"the module closed its end of the control pipe");
  DisconnectNamedPipe(pipe.get());
  self->done = true;
}

void ControlPipeServer::ReapConnections(bool all) {
  std::list<std::unique_ptr<Connection>> finished;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    for (auto it = m_connections.begin(); it != m_connections.end();) {
      if (all || (*it)->done) {
        finished.push_back(std::move(*it));
        it = m_connections.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& c : finished) {
    if (c->thread.joinable()) c->thread.join();
  }
}
