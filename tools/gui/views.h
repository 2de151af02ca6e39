#pragma once
// How the GUI stand-in shows the session: texts built from a snapshot of the session model.

#include <string>

#include "gui/session_model.h"

// The drive list as the module sent it.
std::wstring DriveListView(const SessionState& state, const std::wstring& machine);
// "C: [##########----------]  50 %  analysing".
std::wstring ProgressBar(const DriveState& drive);
// One line with a bar for every drive whose engine runs; empty when none runs.
std::wstring ProgressLine(const SessionState& state);
// The volume statistics of a drive.
std::wstring StatisticsView(const DriveState& drive);
// The drive map drawn from the display data, `columns` blocks per line.
std::wstring MapView(const DriveState& drive, std::size_t columns);
// The fragmented-file report as a table, with the size and count texts the module made.
std::wstring ReportView(const DriveState& drive);
std::wstring SettingsView(const SettingsState& settings);
// "analysis" / "defragmentation"; engine states as words.
std::wstring OperationName(std::uint32_t operation);
std::wstring EngineStateName(std::uint32_t state);
