#include "gui/views.h"

#include <algorithm>

#include "common/display_map.h"
#include "common/gui_wire.h"
#include "common/text.h"

namespace {

std::wstring Pad(std::wstring text, std::size_t width) {
  if (text.size() < width) text.append(width - text.size(), L' ');
  return text;
}
std::wstring PadLeft(std::wstring text, std::size_t width) {
  if (text.size() < width) text.insert(0, width - text.size(), L' ');
  return text;
}
std::wstring Letter(const DriveState& d) { return std::wstring(1, d.letter) + L":"; }

}  // namespace

std::wstring OperationName(std::uint32_t operation) {
  return operation == 1 ? L"analysis" : L"defragmentation";
}

std::wstring EngineStateName(std::uint32_t state) {
  switch (state) {
    case kGuiEngineIdle: return L"idle";
    case kGuiEngineStopRequested: return L"stopping";
    case kGuiEngineAnalyzing: return L"analysing";
    case kGuiEngineAnalyzeEnded: return L"analysed";
    case kGuiEngineDefragging: return L"defragmenting";
    case kGuiEngineDefragEnded: return L"defragmented";
    default: return L"state " + std::to_wstring(state);
  }
}

std::wstring DriveListView(const SessionState& state, const std::wstring& machine) {
  std::wstring out = L"Drives on " + machine + L":\n  Drive  File system  Volume       State\n";
  int count = 0;
  for (const auto& d : state.drives) {
    if (!d.listed) continue;
    ++count;
    out += L"  " + Pad(Letter(d), 7) + Pad(d.fileSystem, 13) + Pad(d.volumePath, 13) +
           (d.running ? EngineStateName(d.engineState) : std::wstring(L"-")) + L"\n";
  }
  if (count == 0) out += L"  (the service reported no drives)\n";
  return out;
}

std::wstring ProgressBar(const DriveState& d) {
  constexpr std::uint32_t kWidth = 30;
  const std::uint32_t percent = std::min<std::uint32_t>(d.percent, 100);
  const std::uint32_t filled = percent * kWidth / 100;
  std::wstring bar = Letter(d) + L" [" + std::wstring(filled, L'#') + std::wstring(kWidth - filled, L'-') + L"] " +
                     PadLeft(std::to_wstring(percent), 3) + L" %  ";
  bar += d.paused ? L"paused" : EngineStateName(d.engineState);
  return bar;
}

std::wstring ProgressLine(const SessionState& state) {
  std::wstring line;
  for (const auto& d : state.drives) {
    if (!d.running || !d.statusThisOperation) continue;
    if (!line.empty()) line += L"   ";
    line += ProgressBar(d);
  }
  return line;
}

std::wstring StatisticsView(const DriveState& d) {
  if (!d.hasStatistics) return L"No volume statistics for drive " + Letter(d) + L" yet.\n";
  const VolumeSummary& s = d.statistics;
  const std::uint64_t clusters = s.clusterBytes == 0 ? 0 : s.totalBytes / s.clusterBytes;
  std::wstring out = L"Volume " + Letter(d) + L" (" + d.fileSystem + L")\n";
  out += L"  Size                  " + HumanBytes(s.totalBytes) + L" (" + GroupDigits(clusters) + L" clusters of " +
         GroupDigits(s.clusterBytes) + L" bytes)\n";
  out += L"  Used                  " + HumanBytes(s.usedBytes) + L" (" + std::to_wstring(s.percentUsed) + L" %)\n";
  out += L"  Free                  " + HumanBytes(s.freeBytes) + L" in " + GroupDigits(s.freeExtents) +
         L" free extents, the largest " + HumanBytes(s.largestFreeExtent * s.clusterBytes) + L"\n";
  out += L"  Files, folders        " + GroupDigits(s.files) + L", " + GroupDigits(s.directories) + L"\n";
  out += L"  Fragmented files      " + GroupDigits(s.fragmentedFiles) + L" with " +
         GroupDigits(s.excessFileFragments) + L" excess fragments";
  if (s.averageFragmentsX100 != 0) {
    wchar_t each[48];
    _snwprintf(each, 47, L" (%llu.%02llu fragments each)", static_cast<unsigned long long>(s.averageFragmentsX100 / 100),
               static_cast<unsigned long long>(s.averageFragmentsX100 % 100));
    each[47] = L'\0';
    out += each;
  }
  out += L"\n";
  out += L"  Fragmented folders    " + GroupDigits(s.fragmentedDirectories) + L" with " +
         GroupDigits(s.excessDirectoryFragments) + L" excess fragments\n";
  out += L"  Unmovable files       " + GroupDigits(s.unmovableFiles) + L"\n";
  if (s.pagingFileBytes != 0) {
    out += L"  Paging file           " + HumanBytes(s.pagingFileBytes) + L" in " +
           GroupDigits(s.pagingFileFragments) + L" fragments\n";
  }
  return out;
}

std::wstring MapView(const DriveState& d, std::size_t columns) {
  if (d.map.empty()) return L"No drive map for " + Letter(d) + L" yet.\n";
  if (columns == 0) columns = 64;
  std::wstring out = L"Drive map of " + Letter(d) + L" (" + std::to_wstring(d.map.size()) +
                     L" blocks; # used, x fragmented, S system, . free)\n";
  for (std::size_t i = 0; i < d.map.size(); i += columns) {
    out += L"  ";
    for (std::size_t j = i; j < i + columns && j < d.map.size(); ++j) out += static_cast<wchar_t>(MapCellChar(d.map[j]));
    out += L"\n";
  }
  return out;
}

std::wstring ReportView(const DriveState& d) {
  if (!d.hasReport) return L"No fragmented-file report for " + Letter(d) + L".\n";
  const FragReport& r = d.report;
  std::wstring out = L"Fragmented files on " + Letter(d) + L" (" + (r.volume.empty() ? Letter(d) : r.volume) +
                     L"): " + std::to_wstring(r.files.size()) + (r.files.size() == 1 ? L" file" : L" files") + L"\n";
  if (r.files.empty()) return out + L"  (none: the volume has no fragmented files to report)\n";
  std::size_t fragWidth = 9, sizeWidth = 4;
  for (const auto& f : r.files) {
    fragWidth = std::max(fragWidth, f.fragmentsText.size());
    sizeWidth = std::max(sizeWidth, f.sizeText.size());
  }
  out += L"  " + PadLeft(L"Fragments", fragWidth) + L"  " + PadLeft(L"Size", sizeWidth) + L"  File\n";
  out += L"  " + std::wstring(fragWidth, L'-') + L"  " + std::wstring(sizeWidth, L'-') + L"  " +
         std::wstring(40, L'-') + L"\n";
  for (const auto& f : r.files) {
    out += L"  " + PadLeft(f.fragmentsText, fragWidth) + L"  " + PadLeft(f.sizeText, sizeWidth) + L"  " + f.path + L"\n";
  }
  return out;
}

std::wstring SettingsView(const SettingsState& s) {
  std::wstring out = L"Settings of the service:\n";
  out += L"  Log        " + s.log + L"\n";
  out += L"  Priority   " + s.priority + L"\n";
  out += L"  Schedule   " + s.schedule + L"\n";
  out += L"  Excluded   ";
  if (s.exclusions.empty()) out += L"(nothing)";
  for (std::size_t i = 0; i < s.exclusions.size(); ++i) out += (i == 0 ? L"" : L", ") + s.exclusions[i];
  out += L"\n";
  return out;
}
