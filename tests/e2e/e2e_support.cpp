#include "e2e/e2e_support.h"

#include <chrono>
#include <cstring>

#include "common/text.h"

std::wstring BinDir() { return ProgramDirectory(); }

std::vector<BYTE> TextBytes(const std::wstring& text) {
  std::vector<BYTE> bytes((text.size() + 1) * sizeof(wchar_t), 0);
  std::memcpy(bytes.data(), text.c_str(), text.size() * sizeof(wchar_t));
  return bytes;
}

namespace {

// Waits for an overlapped operation or `stop`; on stop the operation is cancelled and has
// ended when this returns. True with the bytes moved when the operation completed.
bool FinishIo(HANDLE handle, OVERLAPPED& overlapped, HANDLE stop, DWORD& moved) {
  HANDLE waits[2] = {stop, overlapped.hEvent};
  if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) {
    CancelIo(handle);
    GetOverlappedResult(handle, &overlapped, &moved, TRUE);
    return false;
  }
  return GetOverlappedResult(handle, &overlapped, &moved, FALSE) != 0;
}

bool ReadAll(HANDLE handle, BYTE* data, DWORD bytes, HANDLE stop) {
  UniqueHandle done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  DWORD got = 0;
  while (got < bytes) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = done.get();
    ResetEvent(done.get());
    DWORD read = 0;
    if (!ReadFile(handle, data + got, bytes - got, &read, &overlapped)) {
      if (GetLastError() != ERROR_IO_PENDING || !FinishIo(handle, overlapped, stop, read)) return false;
    }
    if (read == 0) return false;
    got += read;
  }
  return true;
}

}  // namespace

// --- ChildProgram ----------------------------------------------------------------------------

ChildProgram::~ChildProgram() { Kill(); }

bool ChildProgram::Start(const std::wstring& program, const std::wstring& arguments) {
  // The output goes through a named pipe whose read end takes overlapped reads, so that the
  // reading can be ended even when a process the child started (Wine's desktop process, after
  // a message box) keeps the write end open.
  static LONG counter = 0;
  const std::wstring name = L"\\\\.\\pipe\\cobalin-e2e-output-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                            std::to_wstring(InterlockedIncrement(&counter));
  m_readEnd.reset(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED, PIPE_TYPE_BYTE | PIPE_WAIT,
                                   1, 0, 65536, 0, nullptr));
  SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
  UniqueHandle write(CreateFileW(name.c_str(), GENERIC_WRITE, 0, &inherit, OPEN_EXISTING, 0, nullptr));
  m_stop.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!m_readEnd || !write || !m_stop) return false;
  UniqueHandle input(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING,
                                 0, nullptr));
  const std::wstring path = BinDir() + program;
  std::wstring commandLine = L"\"" + path + L"\" " + arguments;
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input.get();
  startup.hStdOutput = write.get();
  startup.hStdError = write.get();
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(path.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                      &process)) {
    return false;
  }
  m_process.reset(process.hProcess);
  CloseHandle(process.hThread);
  write.reset();  // the child (and what it starts) holds the write end now
  m_reader = std::thread(&ChildProgram::ReadLoop, this);
  return true;
}

// The reading thread: owns the reads of the read end; ends at the end of the output or when
// m_stop is set.
void ChildProgram::ReadLoop() {
  UniqueHandle done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  char buffer[4096];
  for (;;) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = done.get();
    ResetEvent(done.get());
    DWORD read = 0;
    if (!ReadFile(m_readEnd.get(), buffer, sizeof(buffer), &read, &overlapped)) {
      if (GetLastError() != ERROR_IO_PENDING || !FinishIo(m_readEnd.get(), overlapped, m_stop.get(), read)) break;
    }
    if (read == 0) break;
    std::lock_guard<std::mutex> lock(m_lock);
    m_output.append(buffer, read);
    m_grew.notify_all();
  }
}

void ChildProgram::EndReading() {
  if (!m_reader.joinable()) return;
  // What the child wrote before it ended is in the pipe already: a moment to take it, then the
  // read is ended whoever still holds the write end.
  std::unique_lock<std::mutex> lock(m_lock);
  std::size_t size = m_output.size();
  while (m_grew.wait_for(lock, std::chrono::milliseconds(300), [&] { return m_output.size() != size; })) {
    size = m_output.size();
  }
  lock.unlock();
  SetEvent(m_stop.get());
  m_reader.join();
}

bool ChildProgram::Wait(DWORD timeoutMs, DWORD& exitCode) {
  if (!m_process || WaitForSingleObject(m_process.get(), timeoutMs) != WAIT_OBJECT_0) return false;
  GetExitCodeProcess(m_process.get(), &exitCode);
  EndReading();
  return true;
}

bool ChildProgram::WaitForOutput(const std::string& part, DWORD timeoutMs) {
  std::unique_lock<std::mutex> lock(m_lock);
  return m_grew.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                         [&] { return m_output.find(part) != std::string::npos; });
}

std::string ChildProgram::Output() const {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_output;
}

void ChildProgram::Kill() {
  if (m_process && WaitForSingleObject(m_process.get(), 0) == WAIT_TIMEOUT) {
    TerminateProcess(m_process.get(), 1);
    WaitForSingleObject(m_process.get(), 5000);
  }
  EndReading();
  m_process.reset();
}

DWORD RunProgram(const std::wstring& program, const std::wstring& arguments, DWORD timeoutMs, std::string* output) {
  ChildProgram child;
  if (!child.Start(program, arguments)) return ~0u;
  DWORD exitCode = ~0u;
  if (!child.Wait(timeoutMs, exitCode)) {
    child.Kill();
    exitCode = ~0u;
  }
  if (output != nullptr) *output = child.Output();
  return exitCode;
}

// --- Service control manager and registry ------------------------------------------------------

DWORD ServiceState() {
  UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  UniqueScHandle service(manager ? OpenServiceW(manager.get(), L"Tarnswell", SERVICE_QUERY_STATUS) : nullptr);
  SERVICE_STATUS status{};
  if (!service || !QueryServiceStatus(service.get(), &status)) return 0;
  return status.dwCurrentState;
}

bool WaitForServiceState(DWORD state, DWORD timeoutMs) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  for (;;) {
    if (ServiceState() == state) return true;
    if (GetTickCount64() >= deadline) return false;
    Sleep(100);
  }
}

bool StopService(DWORD timeoutMs) {
  UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  UniqueScHandle service(manager ? OpenServiceW(manager.get(), L"Tarnswell", SERVICE_STOP | SERVICE_QUERY_STATUS)
                                 : nullptr);
  if (!service) return false;
  SERVICE_STATUS status{};
  if (QueryServiceStatus(service.get(), &status) && status.dwCurrentState == SERVICE_STOPPED) return true;
  ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
  return WaitForServiceState(SERVICE_STOPPED, timeoutMs);
}

bool StartServiceByManager() {
  UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  UniqueScHandle service(manager ? OpenServiceW(manager.get(), L"Tarnswell", SERVICE_START) : nullptr);
  return service && StartServiceW(service.get(), 0, nullptr);
}

bool ClassesRootKeyExists(const std::wstring& path) {
  UniqueHKey key;
  return RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

std::string ReadFileText(const std::wstring& path) {
  UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                0, nullptr));
  std::string text;
  char buffer[4096];
  DWORD read = 0;
  while (file && ReadFile(file.get(), buffer, sizeof(buffer), &read, nullptr) && read != 0) text.append(buffer, read);
  return text;
}

std::vector<std::wstring> ClassIdsInLines(const std::string& text, const std::string& marker) {
  std::vector<std::wstring> ids;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    const std::size_t open = line.find('{');
    const std::size_t close = open == std::string::npos ? open : line.find('}', open);
    if (line.find(marker) != std::string::npos && close != std::string::npos && close - open == 37) {
      ids.push_back(FromUtf8(line.substr(open, close - open + 1)));
    }
    start = end + 1;
  }
  return ids;
}

// --- FakeModulePipes -------------------------------------------------------------------------

FakeModulePipes::~FakeModulePipes() {
  if (m_changed) SetEvent(m_changed.get());
  m_control.reset();
  if (m_reader.joinable()) m_reader.join();
}

bool FakeModulePipes::Listen() {
  SECURITY_DESCRIPTOR descriptor;
  InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
  SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);
  SECURITY_ATTRIBUTES attributes{sizeof(attributes), &descriptor, FALSE};
  m_receive.reset(CreateNamedPipeW(kGuiPipeLocalName, PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED, 0, 1, 0,
                                   kPipePacketRoom, 0, &attributes));
  // Manual reset: set at the end, it stops the reader; every packet pulses the waiters.
  m_changed.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!m_receive || !m_changed) return false;
  m_reader = std::thread(&FakeModulePipes::ReadLoop, this);
  return true;
}

void FakeModulePipes::ReadLoop() {
  // The destructor sets m_changed to end every wait of this thread.
  HANDLE quit = m_changed.get();
  UniqueHandle connected(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  OVERLAPPED overlapped{};
  overlapped.hEvent = connected.get();
  bool isConnected = ConnectNamedPipe(m_receive.get(), &overlapped) != 0;
  if (!isConnected) {
    const DWORD error = GetLastError();
    DWORD ignored = 0;
    isConnected = error == ERROR_PIPE_CONNECTED ||
                  (error == ERROR_IO_PENDING && FinishIo(m_receive.get(), overlapped, quit, ignored));
  }
  while (isConnected) {
    ReceivedPacket packet{};
    if (!ReadAll(m_receive.get(), reinterpret_cast<BYTE*>(&packet.header), sizeof(packet.header), quit)) break;
    if (packet.header.dwDataSize > kPipeMaxBody) break;
    packet.body.resize(packet.header.dwDataSize);
    if (packet.header.dwDataSize != 0 &&
        !ReadAll(m_receive.get(), packet.body.data(), packet.header.dwDataSize, quit)) {
      break;
    }
    std::lock_guard<std::mutex> lock(m_lock);
    m_packets.push_back(std::move(packet));
    m_arrived.notify_all();
  }
  std::lock_guard<std::mutex> lock(m_lock);
  m_disconnected = true;
  m_arrived.notify_all();
}

bool FakeModulePipes::ConnectControl(DWORD timeoutMs) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  for (;;) {
    m_control.reset(CreateFileW(L"\\\\.\\pipe\\TarnswellControlPipe", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                                nullptr));
    if (m_control) return true;
    if (GetTickCount64() >= deadline) return false;
    Sleep(50);
  }
}

void FakeModulePipes::CloseControl() { m_control.reset(); }

bool FakeModulePipes::Send(std::uint32_t command, WCHAR drive, std::uint32_t param, const std::vector<BYTE>& body) {
  std::vector<BYTE> packet(kPipeHeaderSize + body.size(), 0);
  PipePacket header{};
  header.dwCommand = command;
  header.dwParam = param;
  header.cDrive = drive;
  header.dwDataSize = static_cast<std::uint32_t>(body.size());
  std::memcpy(packet.data(), &header, sizeof(header));
  if (!body.empty()) std::memcpy(packet.data() + kPipeHeaderSize, body.data(), body.size());
  DWORD written = 0;
  return m_control && WriteFile(m_control.get(), packet.data(), static_cast<DWORD>(packet.size()), &written, nullptr) &&
         written == packet.size();
}

bool FakeModulePipes::SendRaw(const std::vector<BYTE>& bytes) {
  DWORD written = 0;
  return m_control && WriteFile(m_control.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
         written == bytes.size();
}

std::vector<BYTE> FakeModulePipes::GuiPipeNameBody() {
  return TextBytes(L"\\\\" + ThisComputerName() + L"\\pipe\\TarnswellGuiPipe");
}

int FakeModulePipes::WaitFor(std::uint32_t command, WCHAR drive, DWORD timeoutMs, std::size_t from) {
  int found = -1;
  std::unique_lock<std::mutex> lock(m_lock);
  m_arrived.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
    for (std::size_t i = from; i < m_packets.size(); ++i) {
      if (m_packets[i].header.dwCommand == command && (drive == 0 || m_packets[i].header.cDrive == drive)) {
        found = static_cast<int>(i);
        return true;
      }
    }
    return false;
  });
  return found;
}

std::vector<ReceivedPacket> FakeModulePipes::Packets() const {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_packets;
}

bool FakeModulePipes::WaitForDisconnect(DWORD timeoutMs) {
  std::unique_lock<std::mutex> lock(m_lock);
  return m_arrived.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return m_disconnected; });
}
