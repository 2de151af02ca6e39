#pragma once
// Helpers for the end-to-end tests: running the real programs (the stand-ins, the installation
// program, the trace viewer) as child processes with their output captured, looking at the
// service control manager and the registry, and playing the module's two pipe ends towards the
// service stand-in.

#include <windows.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "pipes/pipe_packet.h"
#include "shared/owners.h"

// The folder of the test program, where the programs under test are built, with a backslash.
std::wstring BinDir();

// A child process whose standard output and error go into one captured text.
class ChildProgram {
 public:
  ChildProgram() = default;
  ~ChildProgram();
  ChildProgram(const ChildProgram&) = delete;
  ChildProgram& operator=(const ChildProgram&) = delete;

  // `program` is a file in BinDir(); `arguments` follow it on the command line.
  bool Start(const std::wstring& program, const std::wstring& arguments);
  // Waits for the end; false on time-out (the child is then still running).
  bool Wait(DWORD timeoutMs, DWORD& exitCode);
  // Waits until the output holds `part`.
  bool WaitForOutput(const std::string& part, DWORD timeoutMs);
  std::string Output() const;
  // Ends the child if it still runs (this test's own child only).
  void Kill();

 private:
  void ReadLoop();
  void EndReading();
  UniqueHandle m_process;
  UniqueHandle m_readEnd;
  UniqueHandle m_stop;
  std::thread m_reader;
  mutable std::mutex m_lock;
  std::condition_variable m_grew;
  std::string m_output;
};

// Runs a program to its end within `timeoutMs` (then kills it). The exit code, or ~0u.
DWORD RunProgram(const std::wstring& program, const std::wstring& arguments, DWORD timeoutMs,
                 std::string* output = nullptr);

// The service "Tarnswell": its state (0 when not installed), and stopping it.
DWORD ServiceState();
bool StopService(DWORD timeoutMs);
bool StartServiceByManager();
bool WaitForServiceState(DWORD state, DWORD timeoutMs);

bool ClassesRootKeyExists(const std::wstring& path);

// A text file's bytes, or empty.
std::string ReadFileText(const std::wstring& path);

// Every "{...}" class identifier in the lines of `text` that contain `marker`.
std::vector<std::wstring> ClassIdsInLines(const std::string& text, const std::string& marker);

// The module's two pipe ends as the service stand-in sees them: a receiving pipe it connects
// to, and the control pipe the module writes into.
struct ReceivedPacket {
  PipePacket header;
  std::vector<BYTE> body;
};

class FakeModulePipes {
 public:
  FakeModulePipes() = default;
  ~FakeModulePipes();
  FakeModulePipes(const FakeModulePipes&) = delete;
  FakeModulePipes& operator=(const FakeModulePipes&) = delete;

  // Creates the receiving pipe "\\.\pipe\TarnswellGuiPipe" and starts reading the one
  // connection the service makes to it.
  bool Listen();
  // Opens the service's control pipe for writing (waiting for it up to `timeoutMs`).
  bool ConnectControl(DWORD timeoutMs);
  void CloseControl();
  bool Send(std::uint32_t command, WCHAR drive = 0, std::uint32_t param = 0,
            const std::vector<BYTE>& body = std::vector<BYTE>());
  // Writes bytes as they are into the control pipe.
  bool SendRaw(const std::vector<BYTE>& bytes);
  // The UNC name of the receiving pipe, as the module sends it with ID_GUI_START.
  static std::vector<BYTE> GuiPipeNameBody();

  // Waits for the first packet with `command` (and `drive`, when not 0) after packet number
  // `from`; its index in Packets() or -1.
  int WaitFor(std::uint32_t command, WCHAR drive, DWORD timeoutMs, std::size_t from = 0);
  std::vector<ReceivedPacket> Packets() const;
  // True once the service has closed its end of the receiving pipe.
  bool WaitForDisconnect(DWORD timeoutMs);

 private:
  void ReadLoop();
  UniqueHandle m_receive;
  UniqueHandle m_control;
  UniqueHandle m_changed;
  std::thread m_reader;
  mutable std::mutex m_lock;
  std::condition_variable m_arrived;
  std::vector<ReceivedPacket> m_packets;
  bool m_disconnected = false;
};

std::vector<BYTE> TextBytes(const std::wstring& text);
