#pragma once
// The service's settings as the GUI edits them: log, priority and schedule settings (texts),
// and the exclusion data (a fixed part and a list of excluded paths). The module passes them
// through unread; the service keeps what was saved and returns it at the next request.
// Thread-safe.

#include <windows.h>

#include <cstdint>
#include <mutex>
#include <vector>

class SettingsStore {
 public:
  SettingsStore();

  std::vector<BYTE> LogData() const;
  std::vector<BYTE> PriorityData() const;
  std::vector<BYTE> ScheduleData() const;
  // The body of ID_NEW_EXCLUDE_DATA_EX: head, fixed part, list.
  std::vector<BYTE> ExclusionDataEx() const;

  // Saves; false (nothing changed) when the body is empty or too large.
  bool SaveLogData(const std::vector<BYTE>& body);
  bool SavePriorityData(const std::vector<BYTE>& body);
  bool SaveScheduleData(const std::vector<BYTE>& body);
  // The body of ID_NEW_EXCLUDE_DATA: the fixed part, then the list; false when shorter than
  // the fixed part.
  bool SaveExclusionData(const std::vector<BYTE>& body);

 private:
  mutable std::mutex m_lock;
  std::vector<BYTE> m_log, m_priority, m_schedule, m_exclusionFixed, m_exclusionList;
};

// A UTF-16 text with its terminator, as bytes.
std::vector<BYTE> TextBytes(const wchar_t* text);
