#include "service/settings.h"

#include <cstring>

#include "common/service_wire.h"
#include "common/text.h"
#include "pipes/pipe_packet.h"

std::vector<BYTE> TextBytes(const wchar_t* text) {
  const std::size_t bytes = (wcslen(text) + 1) * sizeof(wchar_t);
  std::vector<BYTE> out(bytes);
  std::memcpy(out.data(), text, bytes);
  return out;
}

namespace {

// The exclusion list: excluded paths, each terminated, and an empty one at the end.
std::vector<BYTE> DefaultExclusionList() {
  static const wchar_t kList[] = L"C:\\pagefile.sys\0C:\\hiberfil.sys\0\0";
  std::vector<BYTE> out(sizeof(kList));
  std::memcpy(out.data(), kList, sizeof(kList));
  return out;
}

std::vector<BYTE> DefaultExclusionFixed() {
  std::vector<BYTE> out(kExclusionFixedSize, 0);
  CopyToField(reinterpret_cast<WCHAR*>(out.data()), 64, L"Tarnswell exclusion settings 4.0");
  return out;
}

bool Store(std::mutex& lock, std::vector<BYTE>& slot, const std::vector<BYTE>& body) {
  if (body.empty() || body.size() > kPipeMaxBody) return false;
  std::lock_guard<std::mutex> guard(lock);
  slot = body;
  return true;
}

}  // namespace

SettingsStore::SettingsStore()
    : m_log(TextBytes(L"LogFile=%SystemRoot%\\Tarnswell.log; Level=Normal")),
      m_priority(TextBytes(L"Priority=Low")),
      m_schedule(TextBytes(L"Schedule=None")),
      m_exclusionFixed(DefaultExclusionFixed()),
      m_exclusionList(DefaultExclusionList()) {}

std::vector<BYTE> SettingsStore::LogData() const {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_log;
}
std::vector<BYTE> SettingsStore::PriorityData() const {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_priority;
}
std::vector<BYTE> SettingsStore::ScheduleData() const {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_schedule;
}

std::vector<BYTE> SettingsStore::ExclusionDataEx() const {
  std::lock_guard<std::mutex> lock(m_lock);
  ExclusionDataHead head{};
  head.dwVersion = 1;
  head.dwListBytes = static_cast<std::uint32_t>(m_exclusionList.size());
  std::vector<BYTE> out(sizeof(head));
  std::memcpy(out.data(), &head, sizeof(head));
  out.insert(out.end(), m_exclusionFixed.begin(), m_exclusionFixed.end());
  out.insert(out.end(), m_exclusionList.begin(), m_exclusionList.end());
  return out;
}

bool SettingsStore::SaveLogData(const std::vector<BYTE>& body) { return Store(m_lock, m_log, body); }
bool SettingsStore::SavePriorityData(const std::vector<BYTE>& body) { return Store(m_lock, m_priority, body); }
bool SettingsStore::SaveScheduleData(const std::vector<BYTE>& body) { return Store(m_lock, m_schedule, body); }

bool SettingsStore::SaveExclusionData(const std::vector<BYTE>& body) {
  // The reply must fit one packet with its head: head + fixed part + list.
  if (body.size() < kExclusionFixedSize || body.size() + sizeof(ExclusionDataHead) > kPipeMaxBody) return false;
  std::lock_guard<std::mutex> lock(m_lock);
  m_exclusionFixed.assign(body.begin(), body.begin() + kExclusionFixedSize);
  m_exclusionList.assign(body.begin() + kExclusionFixedSize, body.end());
  return true;
}
