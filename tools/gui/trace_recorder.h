#pragma once
// Records the module's debug trace of this process into a file while the GUI stand-in runs,
// for a person looking into a problem: it listens on the debug-output protocol from a thread of
// its own (no other program needs to run), joins each trace pair and writes the lines with a
// time stamp. Only one listener can hold the protocol; when another (a trace viewer) does,
// recording is refused and that viewer shows the lines instead.

#include <windows.h>

#include <atomic>
#include <string>
#include <thread>

#include "shared/owners.h"

class TraceRecorder {
 public:
  TraceRecorder() = default;
  ~TraceRecorder() { Stop(); }
  TraceRecorder(const TraceRecorder&) = delete;
  TraceRecorder& operator=(const TraceRecorder&) = delete;

  // Main thread. False with a sentence in `problem` when the file cannot be written or another
  // listener holds the debug output.
  bool Start(const std::wstring& path, std::wstring& problem);
  // Main thread: takes what is still arriving for a moment, then ends the recording thread.
  void Stop();

 private:
  // The recording thread owns the listener and writes to the file.
  UniqueHandle m_file;
  std::atomic<bool> m_stop{false};
  std::thread m_thread;
};
