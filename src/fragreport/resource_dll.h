#pragma once
// The service's resource module, which holds the localized unit words of the size texts, and
// the two formatting operations of the fragmented-file report.
//
// The module's path is read from HKEY_LOCAL_MACHINE "SOFTWARE\Pellmark\TarnswellNT4" value
// "ResourceDllName"; it may start with an environment variable written as %NAME%. The module
// is loaded when the first CResourceDll comes into being and freed when the last one ends.

#include <windows.h>
#include <cstddef>

// Unit words in the resource module, by string identifier.
constexpr UINT IDS_UNIT_BYTES = 109;      // a count of bytes
constexpr UINT IDS_UNIT_KILOBYTES = 110;  // a count of 1,024-byte units
constexpr UINT IDS_UNIT_MEGABYTES = 111;  // a count of 1,048,576-byte units
constexpr UINT IDS_UNIT_GIGABYTES = 112;  // a count of 1,073,741,824-byte units

constexpr const wchar_t* kResourceDllKey = L"SOFTWARE\\Pellmark\\TarnswellNT4";
constexpr const wchar_t* kResourceDllValue = L"ResourceDllName";

// Room, in UTF-16 code units with the terminator, of a path handled here.
constexpr std::size_t kResourcePathRoom = 260;
// Room of a unit word as loaded; a longer word is cut to 29 characters.
constexpr int kUnitWordRoom = 30;
// Room of the number text inside a size text.
constexpr UINT kNumberTextRoom = 256;
// Room of the text fields of a fragmented-file entry.
constexpr std::size_t kSizeTextRoom = 32;

// The loaded resource module (null when none is loaded or loading failed) and the number of
// live CResourceDll objects. Translation thread only: no lock.
extern HMODULE g_hResourceDll;
extern LONG g_cResourceDllRef;

// One reference to the resource module. Created and destroyed on the translation thread.
// The first reference loads the module; when that fails the message box "Unable to load
// Resource DLL" is shown (the thread waits for it), the handle stays null and loading is not
// tried again until every reference has ended. The last reference frees the module.
class CResourceDll {
 public:
  CResourceDll() noexcept;
  ~CResourceDll();
  CResourceDll(const CResourceDll&) = delete;
  CResourceDll& operator=(const CResourceDll&) = delete;

  // The loaded module, or null.
  [[nodiscard]] HMODULE GetHandle() const noexcept { return g_hResourceDll; }
};

// Any thread. `path` holds a NUL-terminated text in room for kResourcePathRoom code units.
// When it starts with %NAME%, the variable's value replaces that part. Only a variable at the
// very start is expanded, once; a path without a leading "%" or without a second "%" is left
// as it is (TRUE). FALSE, the path unchanged, when the variable is undefined or empty, or when
// a name, value or result would not fit 259 characters.
BOOL ExpandLeadingEnvironmentVariable(WCHAR* path) noexcept;

// Any thread. Writes the size as a grouped number, a blank and the unit word loaded from
// `module` (null: the host executable): bytes below 1,024, then 1,024-byte units below
// 100,000 of them, then 1,048,576-byte units below 100,000, else 1,073,741,824-byte units.
// When no unit word can be loaded the destination is left untouched. A text longer than
// room - 1 code units is cut to fit (never splitting a surrogate pair).
void FormatSizeText(HMODULE module, LONGLONG size, WCHAR* destination,
                    std::size_t room = kSizeTextRoom) noexcept;

// Any thread. Writes `value` in decimal with "," between groups of three digits. Returns the
// destination, or null when it is null or `room` is 0. A text that does not fit in fewer than
// `room` code units leaves the empty text instead. A negative value keeps its sign in front of
// the grouped digits.
WCHAR* FormatNumberText(LONGLONG value, WCHAR* destination, UINT room) noexcept;
