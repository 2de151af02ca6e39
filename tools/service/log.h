#pragma once
// The service stand-in's own log: time-stamped lines to its console (console mode) and to a
// file when one is named. Any thread.

#include <string>

void OpenLog(bool toConsole, const std::wstring& filePath);
void CloseLog();
void Log(const wchar_t* format, ...);
