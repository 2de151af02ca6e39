#pragma once
// Joins the module's trace pairs. The module writes most of its trace as two debug-output
// lines: "Thread %d: " and then the text. Lines of one process never interleave inside a pair,
// but lines of different processes may, so a thread line waits for the next line of its own
// process.

#include <windows.h>

#include <map>
#include <string>
#include <vector>

struct TraceLine {
  DWORD pid = 0;
  DWORD thread = 0;     // from the thread line; 0 for a line written alone
  bool joined = false;  // a thread line and its text
  std::wstring text;    // the text, line ends taken off
};

class LineJoiner {
 public:
  // One debug-output line of process `pid`. Returns the lines that are complete now: none
  // for a thread line (it waits for its text), one otherwise (two when a thread line was
  // followed by another thread line).
  std::vector<TraceLine> Add(DWORD pid, const std::wstring& raw);
  // Thread lines still waiting for their text, as lines of their own.
  std::vector<TraceLine> Flush();

  // "Thread 123: " exactly: the thread id, else 0.
  static DWORD ThreadLineId(const std::wstring& raw);
  // The text without its leading and trailing line ends; inner line ends become blanks.
  static std::wstring Clean(const std::wstring& raw);

 private:
  std::map<DWORD, DWORD> m_pending;  // pid -> thread id of a thread line without its text
};

// The line as printed: "Thread 123: text" for a pair, the text alone otherwise.
std::wstring FormatTraceLine(const TraceLine& line);
