#pragma once
// Test helpers for the translation layer: a recorder that takes the translation thread's
// messages in TranslateCommand's place, and a client that plays the service on the receiving
// pipe.

#include <windows.h>
#include <cstdint>
#include <string>
#include <vector>

#include "pipes/pipe_packet.h"

struct RecordedMessage {
  std::uint16_t command;
  std::uint8_t direction;
  WCHAR letter;
  bool hadBlock;
  std::size_t blockSize;          // HeapSize of the block the message carried
  std::vector<BYTE> bytes;        // the block's contents
};

// While it lives, every translation message goes to it instead of TranslateCommand. It frees
// each block as TranslateCommand would. One at a time.
class TranslationRecorder {
 public:
  TranslationRecorder();
  ~TranslationRecorder();
  TranslationRecorder(const TranslationRecorder&) = delete;
  TranslationRecorder& operator=(const TranslationRecorder&) = delete;

  // Waits until at least `count` messages were recorded.
  bool WaitForCount(std::size_t count, DWORD timeoutMs) const;
  std::vector<RecordedMessage> Messages() const;
  std::size_t Count() const;

 private:
  static void Handle(std::uint16_t command, void* block, WCHAR letter, std::uint8_t direction);
  mutable SRWLOCK m_lock = SRWLOCK_INIT;
  std::vector<RecordedMessage> m_messages;
  HANDLE m_changed;
};

// Plays the service's side of the receiving pipe.
class ServicePipeClient {
 public:
  ServicePipeClient() = default;
  ~ServicePipeClient() { Close(); }
  ServicePipeClient(const ServicePipeClient&) = delete;
  ServicePipeClient& operator=(const ServicePipeClient&) = delete;

  // Opens the receiving pipe once the module listens on it.
  bool Connect(DWORD timeoutMs, const wchar_t* name = kGuiPipeLocalName);
  bool Write(const void* data, DWORD bytes);
  // Writes a header (with dwDataSize = announced) and `body` bytes after it.
  bool WritePacket(std::uint32_t command, WCHAR drive, const std::vector<BYTE>& body);
  bool WritePacket(std::uint32_t command, WCHAR drive, const std::vector<BYTE>& body, std::uint32_t announced);
  void Close();
  HANDLE handle() const { return m_pipe; }

 private:
  HANDLE m_pipe = INVALID_HANDLE_VALUE;
};

// A body of `size` bytes with a recognisable pattern.
std::vector<BYTE> PatternBody(std::size_t size, BYTE seed = 0);

// Waits until a server instance of the named pipe is there to connect to.
bool WaitForPipeListening(const wchar_t* name, DWORD timeoutMs);

// The receiving pipe's access list in text form ("D:P(A;;FA;;;SY)..."), read back from the pipe
// through a client's handle once it listens (the client then disconnects); "(...)" on failure.
std::wstring ReceivingPipeAccessList(DWORD timeoutMs);

// Waits until `condition()` holds, checking every 10 ms.
bool WaitUntil(bool (*condition)(), DWORD timeoutMs);

// Waits for a thread handle to be signalled.
bool WaitForThreadEnd(HANDLE thread, DWORD timeoutMs);
