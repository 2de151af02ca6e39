#pragma once
// Small text helpers shared by the tools: fixed-size UTF-16 fields on the wire, conversions
// for the console and for files, and number formatting for people.

#include <windows.h>
#include <cstddef>
#include <cstdint>
#include <string>

// Copies `text` into a fixed field of `room` code units, cut if needed, always terminated.
void CopyToField(WCHAR* field, std::size_t room, const std::wstring& text) noexcept;
template <std::size_t N>
void CopyToField(WCHAR (&field)[N], const std::wstring& text) noexcept {
  CopyToField(field, N, text);
}

// Reads a fixed field of `room` code units: up to its terminator or its end.
std::wstring ReadField(const WCHAR* field, std::size_t room);
template <std::size_t N>
std::wstring ReadField(const WCHAR (&field)[N]) {
  return ReadField(field, N);
}

// Reads a NUL-terminated UTF-16 text from `bytes` bytes, never past them.
std::wstring ReadText(const void* data, std::size_t bytes);

std::string ToUtf8(const std::wstring& text);
std::wstring FromUtf8(const std::string& text);

// 1234567 -> "1,234,567".
std::wstring GroupDigits(std::uint64_t value);
// A byte count for people: "512 bytes", "1.5 KiB", "40.0 GiB".
std::wstring HumanBytes(std::uint64_t bytes);

std::wstring ToUpper(std::wstring text);
std::wstring Trim(const std::wstring& text);
// Case-insensitive search (ordinal, upper-cased).
bool ContainsNoCase(const std::wstring& text, const std::wstring& part);

// Parses a whole decimal number; false when `text` is not one.
bool ParseUnsigned(const std::wstring& text, std::uint64_t& value);

// This computer's name as the NetBIOS name (what GetComputerNameW gives), or empty.
std::wstring ThisComputerName();

// The directory of the running program, with a trailing backslash.
std::wstring ProgramDirectory();

// A message for a Win32 error code, without the line end.
std::wstring Win32ErrorText(DWORD error);
