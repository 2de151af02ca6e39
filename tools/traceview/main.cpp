// cobalin_traceview: prints the module's debug trace as it happens. It listens on the
// standard debug-output protocol, as a debug-output viewer does, joins each "Thread %d: " line
// with the text that follows it from the same process, and prints every line with a time stamp
// and the writer's process id.

#include <windows.h>

#include <atomic>
#include <string>

#include "common/console.h"
#include "common/text.h"
#include "common/dbwin_listener.h"
#include "common/line_joiner.h"

namespace {

struct Options {
  std::wstring filter;        // print only lines that contain it (any letter case)
  DWORD pid = 0;              // print only this process's lines
  std::uint64_t seconds = 0;  // stop after this long; 0: until Ctrl+C
  std::wstring until;         // stop after printing a line that contains it
  bool help = false;
  std::wstring error;
};

const wchar_t kUsage[] =
    L"cobalin_traceview: prints the module's debug trace (OutputDebugString) as it happens.\n"
    L"\n"
    L"  cobalin_traceview [--filter TEXT] [--pid N] [--seconds N] [--until TEXT]\n"
    L"\n"
    L"  --filter TEXT  print only lines that contain TEXT (any letter case)\n"
    L"  --pid N        print only the lines of process N\n"
    L"  --seconds N    stop after N seconds (default: run until Ctrl+C)\n"
    L"  --until TEXT   stop after a printed line that contains TEXT; the exit status is 1\n"
    L"                 when the time of --seconds ran out first\n"
    L"\n"
    L"Each line: time, process id, and \"Thread <id>: <text>\" for the module's trace pairs.\n";

Options Parse(int argc, wchar_t** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::wstring a = argv[i];
    const bool hasValue = i + 1 < argc;
    std::uint64_t n = 0;
    if (a == L"--help" || a == L"-h" || a == L"/?") {
      o.help = true;
    } else if (a == L"--filter" && hasValue) {
      o.filter = argv[++i];
    } else if (a == L"--until" && hasValue) {
      o.until = argv[++i];
    } else if (a == L"--pid" && hasValue) {
      if (!ParseUnsigned(argv[++i], n) || n > 0xFFFFFFFFull) o.error = L"--pid takes a process id.";
      o.pid = static_cast<DWORD>(n);
    } else if (a == L"--seconds" && hasValue) {
      if (!ParseUnsigned(argv[++i], n) || n > 864000) o.error = L"--seconds takes a number of seconds.";
      o.seconds = n;
    } else {
      o.error = L"Unknown option or missing value: " + a + L".";
    }
  }
  return o;
}

std::atomic<bool> g_interrupted{false};

// A thread the system makes for Ctrl+C and Ctrl+Break.
BOOL WINAPI OnCtrl(DWORD) {
  g_interrupted = true;
  return TRUE;
}

std::wstring TimeStamp() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  wchar_t text[32];
  _snwprintf(text, 31, L"%02u:%02u:%02u.%03u", now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
  text[31] = L'\0';
  return text;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const Options options = Parse(argc, argv);
  if (options.help) {
    Out(kUsage);
    return 0;
  }
  if (!options.error.empty()) {
    ErrLine(options.error);
    ErrLine(L"cobalin_traceview --help lists the options.");
    return 2;
  }

  DbwinListener listener;
  switch (listener.Open()) {
    case DbwinListener::OpenResult::Busy:
      ErrLine(L"Another debug-output viewer is listening already; close it first.");
      return 2;
    case DbwinListener::OpenResult::Failed:
      ErrLine(L"The debug output cannot be listened to: " + Win32ErrorText(GetLastError()));
      return 2;
    case DbwinListener::OpenResult::Ok:
      break;
  }
  SetConsoleCtrlHandler(OnCtrl, TRUE);
  OutLine(L"# listening for debug output" +
          (options.seconds != 0 ? L" for " + std::to_wstring(options.seconds) + L" s" : std::wstring()) +
          L"; Ctrl+C stops");

  const ULONGLONG deadline = options.seconds != 0 ? GetTickCount64() + options.seconds * 1000 : 0;
  LineJoiner joiner;
  bool untilSeen = false;
  auto print = [&](const TraceLine& line) {
    if (options.pid != 0 && line.pid != options.pid) return;
    const std::wstring text = FormatTraceLine(line);
    if (!options.filter.empty() && !ContainsNoCase(text, options.filter)) return;
    OutLine(TimeStamp() + L" [" + std::to_wstring(line.pid) + L"] " + text);
    if (!options.until.empty() && ContainsNoCase(text, options.until)) untilSeen = true;
  };

  while (!g_interrupted && !untilSeen) {
    if (deadline != 0 && GetTickCount64() >= deadline) break;
    DWORD pid = 0;
    std::wstring raw;
    if (!listener.Next(200, pid, raw)) continue;
    for (const auto& line : joiner.Add(pid, raw)) print(line);
  }
  for (const auto& line : joiner.Flush()) print(line);
  return !options.until.empty() && !untilSeen && !g_interrupted ? 1 : 0;
}
