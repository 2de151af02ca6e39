#include "service/gui_link.h"

#include <cstring>

#include "common/pipe_names.h"
#include "common/text.h"
#include "pipes/pipe_packet.h"
#include "service/log.h"
#include "handoff/commands.h"

bool GuiLink::Connect(const std::wstring& pipeName, DWORD timeoutMs) {
  Close();
  const std::wstring name = PipeNameToOpen(pipeName);
  if (name.empty()) {
    Log(L"ID_GUI_START names no pipe (\"%s\"); not connected", pipeName.c_str());
    return false;
  }
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  DWORD error = 0;
  for (;;) {
    UniqueHandle pipe(CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    if (pipe) {
      std::lock_guard<std::mutex> lock(m_lock);
      m_pipe = std::move(pipe);
      Log(L"connected to the GUI's pipe %s", name.c_str());
      return true;
    }
    error = GetLastError();
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) break;
    const DWORD left = static_cast<DWORD>(deadline - now);
    if (error == ERROR_PIPE_BUSY) {
      WaitNamedPipeW(name.c_str(), left < 500 ? left : 500);
    } else {
      Sleep(left < 100 ? left : 100);
    }
  }
  Log(L"cannot open the GUI's pipe %s: %s", name.c_str(), Win32ErrorText(error).c_str());
  return false;
}

void GuiLink::Close() {
  std::lock_guard<std::mutex> lock(m_lock);
  if (m_pipe) Log(L"link to the GUI closed");
  m_pipe.reset();
}

bool GuiLink::IsOpen() const {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_pipe.valid();
}

bool GuiLink::Send(std::uint32_t command, WCHAR drive, std::uint32_t param, const wchar_t* text,
                   const void* body, std::size_t bodyBytes) {
  if (bodyBytes > kPipeMaxBody || (bodyBytes != 0 && body == nullptr)) {
    Log(L"not sent: %s with a body of %u bytes does not fit a packet", GetCommandName4_0(command),
        static_cast<unsigned>(bodyBytes));
    return false;
  }
  std::vector<BYTE> packet(kPipeHeaderSize + bodyBytes, 0);
  PipePacket header{};
  header.dwCommand = command;
  header.dwParam = param;
  if (text != nullptr) CopyToField(header.szText, text);
  header.cDrive = drive;
  header.dwDataSize = static_cast<std::uint32_t>(bodyBytes);
  std::memcpy(packet.data(), &header, sizeof(header));
  if (bodyBytes != 0) std::memcpy(packet.data() + kPipeHeaderSize, body, bodyBytes);

  std::lock_guard<std::mutex> lock(m_lock);
  if (!m_pipe) return false;
  DWORD written = 0;
  if (!WriteFile(m_pipe.get(), packet.data(), static_cast<DWORD>(packet.size()), &written, nullptr) ||
      written != packet.size()) {
    Log(L"write to the GUI failed (%s); link closed", Win32ErrorText(GetLastError()).c_str());
    m_pipe.reset();
    return false;
  }
  return true;
}
