#pragma once
// Output for the console tools: wide text to the console when there is one, UTF-8 bytes when
// the output goes to a file or a pipe. Any thread; each call writes its text in one piece.

#include <string>

void Out(const std::wstring& text);
void OutLine(const std::wstring& line);
void ErrLine(const std::wstring& line);
// True when standard output is a console (so that "\r" redraws a line).
bool StdoutIsConsole();
// One line from standard input, without its line end; false at the end of the input.
bool ReadInputLine(std::wstring& line);
