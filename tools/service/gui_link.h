#pragma once
// The service's end of the module's receiving pipe: the service connects to the pipe that
// ID_GUI_START names and writes its messages there as pipe packets, one write per packet.
// Any thread may send; one lock keeps packets whole and in order.

#include <windows.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "shared/owners.h"

class GuiLink {
 public:
  // Opens the pipe named as the module sent it (UNC), by its local form when it is on this
  // computer; waits for it at most `timeoutMs`. A link that is open is closed first.
  bool Connect(const std::wstring& pipeName, DWORD timeoutMs);
  void Close();
  bool IsOpen() const;

  // Writes one packet: header (command, param, text, drive, body size) and body. False when
  // no link is open or the write fails; a failed write closes the link (the GUI is gone).
  bool Send(std::uint32_t command, WCHAR drive, std::uint32_t param = 0, const wchar_t* text = nullptr,
            const void* body = nullptr, std::size_t bodyBytes = 0);
  bool Send(std::uint32_t command, WCHAR drive, const std::vector<BYTE>& body) {
    return Send(command, drive, 0, nullptr, body.data(), body.size());
  }

 private:
  mutable std::mutex m_lock;
  UniqueHandle m_pipe;
};
