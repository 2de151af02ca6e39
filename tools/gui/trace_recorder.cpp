#include "gui/trace_recorder.h"

#include "common/dbwin_listener.h"
#include "common/line_joiner.h"
#include "common/text.h"

namespace {

std::wstring TimeStamp() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  wchar_t text[32];
  _snwprintf(text, 31, L"%02u:%02u:%02u.%03u ", now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
  text[31] = L'\0';
  return text;
}

}  // namespace

bool TraceRecorder::Start(const std::wstring& path, std::wstring& problem) {
  m_file.reset(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!m_file) {
    problem = L"The trace file " + path + L" cannot be written: " + Win32ErrorText(GetLastError());
    return false;
  }
  // The listener is opened here, so that a refusal is known before the module is loaded.
  auto listener = std::make_unique<DbwinListener>();
  const auto opened = listener->Open();
  if (opened != DbwinListener::OpenResult::Ok) {
    problem = opened == DbwinListener::OpenResult::Busy
                  ? L"Another debug-output viewer is listening: the trace is not recorded here."
                  : L"The debug output cannot be listened to: " + Win32ErrorText(GetLastError());
    m_file.reset();
    return false;
  }
  m_thread = std::thread([this, l = std::move(listener)]() mutable {
    const DWORD self = GetCurrentProcessId();
    LineJoiner joiner;
    auto write = [&](const TraceLine& line) {
      if (line.pid != self) return;
      const std::string bytes = ToUtf8(TimeStamp() + FormatTraceLine(line) + L"\r\n");
      DWORD written = 0;
      WriteFile(m_file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    };
    // After the stop, lines already on their way are still taken until a quiet moment.
    int quiet = 0;
    while (!m_stop || quiet < 2) {
      DWORD pid = 0;
      std::wstring raw;
      if (l->Next(100, pid, raw)) {
        quiet = 0;
        for (const auto& line : joiner.Add(pid, raw)) write(line);
      } else if (m_stop) {
        ++quiet;
      }
    }
    for (const auto& line : joiner.Flush()) write(line);
  });
  return true;
}

void TraceRecorder::Stop() {
  m_stop = true;
  if (m_thread.joinable()) m_thread.join();
  m_file.reset();
}
