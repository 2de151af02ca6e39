#include "common/line_joiner.h"

DWORD LineJoiner::ThreadLineId(const std::wstring& raw) {
  static const std::wstring kHead = L"Thread ";
  if (raw.size() < kHead.size() + 3 || raw.compare(0, kHead.size(), kHead) != 0) return 0;
  if (raw.compare(raw.size() - 2, 2, L": ") != 0) return 0;
  const std::wstring digits = raw.substr(kHead.size(), raw.size() - kHead.size() - 2);
  if (digits.empty() || digits.size() > 10) return 0;
  unsigned long long id = 0;
  for (wchar_t c : digits) {
    if (c < L'0' || c > L'9') return 0;
    id = id * 10 + static_cast<unsigned>(c - L'0');
  }
  return id > 0xFFFFFFFFull || id == 0 ? 0 : static_cast<DWORD>(id);
}

std::wstring LineJoiner::Clean(const std::wstring& raw) {
  const auto first = raw.find_first_not_of(L"\r\n");
  if (first == std::wstring::npos) return {};
  const auto last = raw.find_last_not_of(L"\r\n");
  std::wstring text = raw.substr(first, last - first + 1);
  for (auto& c : text) {
    if (c == L'\r' || c == L'\n') c = L' ';
  }
  return text;
}

std::vector<TraceLine> LineJoiner::Add(DWORD pid, const std::wstring& raw) {
  std::vector<TraceLine> out;
  const DWORD thread = ThreadLineId(raw);
  auto pending = m_pending.find(pid);
  if (thread != 0) {
    // A thread line after a thread line: the first had no text.
    if (pending != m_pending.end()) out.push_back({pid, pending->second, true, L""});
    m_pending[pid] = thread;
    return out;
  }
  if (pending != m_pending.end()) {
    out.push_back({pid, pending->second, true, Clean(raw)});
    m_pending.erase(pending);
  } else {
    out.push_back({pid, 0, false, Clean(raw)});
  }
  return out;
}

std::vector<TraceLine> LineJoiner::Flush() {
  std::vector<TraceLine> out;
  for (const auto& [pid, thread] : m_pending) out.push_back({pid, thread, true, L""});
  m_pending.clear();
  return out;
}

std::wstring FormatTraceLine(const TraceLine& line) {
  if (!line.joined) return line.text;
  return L"Thread " + std::to_wstring(line.thread) + L": " + line.text;
}
