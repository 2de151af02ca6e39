#include "pipes/send_pipe.h"

#include <cwchar>

#include "pipes/pipe_out.h"
#include "shared/owners.h"
#include "shared/trace.h"

namespace {

// After the local service was started: connection tries beyond the first, 500 ms apart.
constexpr int kStartRetries = 3;
constexpr DWORD kStartRetryDelayMs = 500;
// An open that answers ERROR_PIPE_CONNECTED is tried again this often; each pass first runs
// ClosePipeOut, which waits 100 ms.
constexpr int kPipeConnectedPasses = 10;

constexpr const wchar_t* kServiceName = L"Tarnswell";
// Room for the pipe name actually opened; longer names are opened as given.
constexpr std::size_t kOpenNameRoom = 260;

PipeOpenFunction volatile g_pipeOpenFunction = nullptr;

HANDLE OpenPipeForWriting(const wchar_t* name, SECURITY_ATTRIBUTES* attributes) noexcept {
  if (PipeOpenFunction open = g_pipeOpenFunction) return open(name, attributes);
  return CreateFileW(name, GENERIC_WRITE, 0, attributes, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// The machine part of a UNC pipe name "\\MACHINE\pipe\NAME": where it starts and how long it
// is. False for a name that has none (the local form "\\.\..." or no leading "\\").
bool FindMachinePart(const wchar_t* name, const wchar_t** start, std::size_t* length) noexcept {
  if (name[0] != L'\\' || name[1] != L'\\' || name[2] == L'.' || name[2] == L'\0') return false;
  const wchar_t* end = name + 2;
  while (*end != L'\0' && *end != L'\\') ++end;
  *start = name + 2;
  *length = static_cast<std::size_t>(end - *start);
  return true;
}

// The name to open for `pipeName`. A UNC name that names this computer is opened in its local
// form "\\.\pipe\NAME": Windows reaches the UNC form of a local pipe only through its network
// redirector (not at all while the Server service is stopped), Wine not at all.
const wchar_t* NameToOpen(const wchar_t* pipeName, wchar_t (&local)[kOpenNameRoom]) noexcept {
  const wchar_t* machine = nullptr;
  std::size_t length = 0;
  if (!FindMachinePart(pipeName, &machine, &length) || !IsThisComputer(machine, length)) return pipeName;
  const wchar_t* rest = machine + length;  // "\pipe\NAME", or empty
  if (wcslen(rest) + 4 > kOpenNameRoom) return pipeName;
  _snwprintf(local, kOpenNameRoom - 1, L"\\\\.%s", rest);
  local[kOpenNameRoom - 1] = L'\0';
  return local;
}

// SendData's decision whether the service behind `pipeName` runs on this computer, as the
// name is written: a machine part must match the computer's name letter for letter. False
// also when the computer's name cannot be read.
bool NamesLocalService(const wchar_t* pipeName) noexcept {
  // Without a machine part ("\\.\..." or no "\\" at all) the name is local.
  if (pipeName[0] == L'\0' || pipeName[1] != L'\\' || pipeName[2] == L'.') return true;
  const wchar_t* machine = pipeName + 2;
  std::size_t length = 0;
  while (machine[length] != L'\0' && machine[length] != L'\\') ++length;

  WCHAR computer[MAX_COMPUTERNAME_LENGTH + 1];
  DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
  if (!GetComputerNameW(computer, &size)) {
    Trace(L"Error #%ld - SendData - GetComputerName.", static_cast<long>(GetLastError()));
    return false;
  }
  // No computer name is longer than MAX_COMPUTERNAME_LENGTH: a longer part is another machine.
  if (length > MAX_COMPUTERNAME_LENGTH) return false;
  WCHAR part[MAX_COMPUTERNAME_LENGTH + 1];
  wmemcpy(part, machine, length);
  part[length] = L'\0';
  return lstrcmpW(part, computer) == 0;
}

// The errors a write to a pipe whose server end is gone fails with: ERROR_NO_DATA (the pipe is
// being closed), ERROR_PIPE_NOT_CONNECTED (the server disconnected the instance), or
// ERROR_BROKEN_PIPE. The handle can never carry another packet.
bool IsServerEndGone(DWORD error) noexcept {
  return error == ERROR_NO_DATA || error == ERROR_PIPE_NOT_CONNECTED || error == ERROR_BROKEN_PIPE;
}

// Opens the sending pipe to `pipeName`, starting the local service first when its control pipe
// is not there. True when the pipe is open.
bool ConnectOrStartService(const wchar_t* pipeName) noexcept {
  if (ConnectToServer(pipeName)) return true;
  // A service on another machine is never started from here.
  if (!NamesLocalService(pipeName)) return false;
  if (!StartTarnswellService()) return false;
  // The service creates its control pipe after it starts: give it time.
  bool connected = ConnectToServer(pipeName);
  for (int retry = 0; retry < kStartRetries && !connected; ++retry) {
    Sleep(kStartRetryDelayMs);
    connected = ConnectToServer(pipeName);
  }
  return IsPipeOutOpen();
}

}  // namespace

// Letter case ignored, as Windows compares computer names: ordinally, not by the user's locale.
bool IsThisComputer(const wchar_t* part, std::size_t length) noexcept {
  if (length == 0 || length > MAX_COMPUTERNAME_LENGTH) return false;
  WCHAR computer[MAX_COMPUTERNAME_LENGTH + 1];
  DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
  if (!GetComputerNameW(computer, &size)) return false;
  return CompareStringOrdinal(part, static_cast<int>(length), computer, static_cast<int>(size), TRUE) == CSTR_EQUAL;
}

void SetPipeOpenFunction(PipeOpenFunction function) noexcept { g_pipeOpenFunction = function; }

// Translation thread only. The packet stays the caller's; the sending pipe (g_hPipeOut, in
// pipe_out) is opened here and left open for the next command.
BOOL SendData(const PipePacket* packet, const wchar_t* pipeName) noexcept {
  if (packet == nullptr || pipeName == nullptr) {
    Trace(L"SendData - no packet or no pipe name\n");
    return 0;
  }
  // The sender's working packet holds 60000 bytes: a larger body was never filled in.
  if (packet->dwDataSize > kPipeMaxBody) {
    Trace(L"SendData - body of %lu bytes does not fit a packet; not sent\n",
          static_cast<unsigned long>(packet->dwDataSize));
    return 0;
  }
  const DWORD total = kPipeHeaderSize + packet->dwDataSize;

  // A sending pipe opened to another control pipe (the GUI named another computer since) is
  // closed first: every packet goes to the pipe named, or nowhere.
  if (IsPipeOutOpen() && !IsPipeOutOpenTo(pipeName)) {
    Trace(L"SendData - the sending pipe leads to another control pipe; closed\n");
    ClosePipeOut();
  }
  if (!IsPipeOutOpen() && !ConnectOrStartService(pipeName)) return 0;

  DWORD written = 0;
  if (WritePipeOut(packet, total, &written)) {
    if (written != total) return 0;
  } else if (IsServerEndGone(GetLastError())) {
    // The service's end is gone: the handle can never carry another packet, so it goes now,
    // and one new connection is made as the first one was. A service that closed its pipe and
    // listens again is reached at once; a local one that has ended is started again.
    ClosePipeOut();
    if (!ConnectOrStartService(pipeName)) return 0;
    if (!WritePipeOut(packet, total, &written) || written != total) {
      Trace(L"Error #%ld - SendData - WriteFile2", static_cast<long>(GetLastError()));
      return 0;
    }
  } else {
    // The handle stays: the next command writes to it again.
    Trace(L"Error #%ld - SendData - WriteFile1", static_cast<long>(GetLastError()));
    return 0;
  }
  Trace(L"SendData on PipeOut Successful\n");
  return 1;
}

// Translation thread only. A new handle replaces the sending pipe through SetPipeOut.
BOOL ConnectToServer(const wchar_t* pipeName) noexcept {
  SECURITY_DESCRIPTOR descriptor;
  if (!InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION)) {
    Trace(L"Error #%ld - PipeOut - ConnectToServer - InitializeSecurityDescriptor", static_cast<long>(GetLastError()));
    return 0;
  }
  if (!SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE)) {
    Trace(L"Error #%ld - PipeOut - ConnectToServer - SetSecurityDescriptor", static_cast<long>(GetLastError()));
    return 0;
  }
  SECURITY_ATTRIBUTES attributes{sizeof(attributes), &descriptor, TRUE};
  if (pipeName == nullptr) pipeName = L"";

  wchar_t local[kOpenNameRoom];
  const wchar_t* name = NameToOpen(pipeName, local);

  if (!WaitNamedPipeW(name, NMPWAIT_USE_DEFAULT_WAIT)) {
    Trace(L"WaitNamedPipe error = %d\n", static_cast<int>(GetLastError()));
    return 0;
  }
  if (IsPipeOutOpen()) ClosePipeOut();

  // Success always means an open sending pipe: an open that answers ERROR_PIPE_CONNECTED
  // opened nothing, so it is tried again a bounded number of times and then counts as failed.
  for (int pass = 1;; ++pass) {
    const HANDLE pipe = OpenPipeForWriting(name, &attributes);
    if (pipe != INVALID_HANDLE_VALUE && pipe != nullptr) {
      SetPipeOut(pipe, pipeName);
      return 1;
    }
    const DWORD error = GetLastError();
    Trace(L"CreateFile error = %d\n", static_cast<int>(error));
    if (error != ERROR_PIPE_CONNECTED || pass >= kPipeConnectedPasses) {
      Trace(L"Error #%ld - PipeOut - ConnectToServer - CreateFile", static_cast<long>(error));
      return 0;
    }
    ClosePipeOut();
  }
}

// Translation thread only. Both service handles are its own and closed on every way out.
BOOL StartTarnswellService() noexcept {
  const UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) {
    Trace(L"StartTarnswellService - OpenSCManager");
    return 0;
  }
  const UniqueScHandle service(OpenServiceW(manager.get(), kServiceName, SERVICE_QUERY_STATUS | SERVICE_START));
  if (!service) {
    Trace(L"StartTarnswellService - OpenService");
    return 0;
  }
  SERVICE_STATUS status{};
  if (!QueryServiceStatus(service.get(), &status)) {
    Trace(L"StartTarnswellService - QueryServiceStatus");
    return 0;
  }
  if (status.dwCurrentState == SERVICE_RUNNING) return 1;
  // Nothing waits for the running state: SendData's connection tries give the service time.
  if (StartServiceW(service.get(), 0, nullptr) || GetLastError() == ERROR_SERVICE_ALREADY_RUNNING) return 1;
  Trace(L"GetLastError() == ERROR_SERVICE_ALREADY_RUNNING");
  return 0;
}
