#pragma once
// Plays the service: serves the control pipe "\\.\pipe\TarnswellControlPipe" and records every
// packet the module writes into it; on ID_GUI_START it connects to the module's receiving pipe,
// on which the test then writes the service's messages.

#include <windows.h>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "pipes/pipe_packet.h"
#include "support/layer_harness.h"

constexpr const wchar_t* kControlPipeLocalName = L"\\\\.\\pipe\\TarnswellControlPipe";

struct ServicePacket {
  PipePacket header;
  std::vector<BYTE> body;
  LARGE_INTEGER readAt;  // QueryPerformanceCounter when the whole packet had been read
};

class ServicePeer {
 public:
  // Listening on the control pipe when the constructor returns.
  ServicePeer();
  ~ServicePeer();
  ServicePeer(const ServicePeer&) = delete;
  ServicePeer& operator=(const ServicePeer&) = delete;

  // Every packet read from the control pipe, in order, the zero probe included.
  std::vector<ServicePacket> Packets() const;
  // The packets from index `from` on.
  std::vector<ServicePacket> PacketsFrom(std::size_t from) const;
  std::size_t Count() const;
  // One packet by its index, without copying the others; false when there is none yet.
  bool PacketAt(std::size_t index, ServicePacket* packet) const;
  bool WaitForCount(std::size_t count, DWORD timeoutMs) const;
  // Waits until no packet has come for `quietMs` (bounded by `timeoutMs`); for checking that
  // nothing more arrives.
  bool WaitForQuiet(DWORD quietMs, DWORD timeoutMs) const;

  // The receiving pipe's name as ID_GUI_START announced it, and the connection to it (made
  // on the local form of the name: the UNC form of this computer's own pipes is not found here).
  bool WaitForGuiPipe(DWORD timeoutMs) const;
  std::wstring AnnouncedGuiPipe() const;

  // Control-pipe connections the module made, and how many it closed again.
  int Connections() const;
  bool WaitForDisconnects(int count, DWORD timeoutMs) const;

  // The service dies and starts again: every connection it has (both pipes) is closed, and a
  // new control pipe listens. What was recorded is kept. With `keepGuiPipe` only the control
  // pipe goes and comes back: its connections are closed, the receiving pipe stays connected.
  void Restart(bool keepGuiPipe = false);

  // Writes a service message into the receiving pipe.
  bool Send(std::uint32_t command, WCHAR drive, const std::vector<BYTE>& body = {}, std::uint32_t param = 0,
            const wchar_t* text = L"");
  // Writes raw bytes into the receiving pipe.
  bool SendRaw(const void* bytes, DWORD size);

 private:
  static DWORD WINAPI ListenThread(void* self);
  static DWORD WINAPI ReadThread(void* context);
  void Listen();
  void Shutdown(bool keepGuiPipe = false);
  void Read(HANDLE pipe);
  bool ReadExact(HANDLE pipe, HANDLE ioEvent, BYTE* into, DWORD bytes);
  bool WaitFor(const std::function<bool()>& done, DWORD timeoutMs) const;
  void Changed();

  mutable SRWLOCK m_lock = SRWLOCK_INIT;
  std::vector<ServicePacket> m_packets;
  ULONGLONG m_lastPacketTick = 0;
  std::wstring m_announced;
  bool m_guiConnected = false;
  int m_connections = 0;
  int m_disconnects = 0;

  HANDLE m_stop;
  HANDLE m_changed;
  HANDLE m_listening;
  HANDLE m_listener = nullptr;
  std::vector<HANDLE> m_readers;
  SRWLOCK m_writeLock = SRWLOCK_INIT;
  ServicePipeClient m_gui;
};
