#pragma once
// Pipe names between the stand-ins and the module.

#include <string>

constexpr const wchar_t* kControlPipeLocalName = L"\\\\.\\pipe\\TarnswellControlPipe";

// A pipe name as given (UNC "\\machine\pipe\name" or local "\\.\pipe\name") turned into the
// name to open from here: when the machine part names this computer (any letter case) or is
// ".", the local form "\\.\pipe\name"; any other machine keeps the UNC name. Wine cannot open
// the UNC form of a local pipe, and on Windows the local form avoids the network redirector.
// Empty when `name` is not a pipe name.
std::wstring PipeNameToOpen(const std::wstring& name);
