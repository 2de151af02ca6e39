#include "fragreport/resource_dll.h"

#include <cwchar>

#include "dataio/caller_checks.h"
#include "shared/message_box.h"

HMODULE g_hResourceDll = nullptr;
LONG g_cResourceDllRef = 0;

namespace {

// Reads the module's path from the registry, expands it and loads it into g_hResourceDll.
// False when any step fails.
bool LoadResourceModule() noexcept {
  WCHAR path[kResourcePathRoom + 1] = {};
  DWORD cbPath = kResourcePathRoom * sizeof(WCHAR);
  HKEY hKey = nullptr;
  const LONG status = QueryRegistryString(&hKey, kResourceDllKey, kResourceDllValue, path, &cbPath);
  const bool closed = hKey == nullptr || RegCloseKey(hKey) == ERROR_SUCCESS;
  if (status != ERROR_SUCCESS || !closed) return false;
  // The value's type is not checked and its text need not be terminated: it ends at the
  // returned length, and a path always leaves room for its terminator.
  std::size_t units = cbPath / sizeof(WCHAR);
  if (units > kResourcePathRoom - 1) units = kResourcePathRoom - 1;
  path[units] = L'\0';

  if (!ExpandLeadingEnvironmentVariable(path)) return false;
  // Only its strings are wanted: mapped as an image resource, none of its code runs in the
  // GUI's process (no DllMain, no imports).
  g_hResourceDll = LoadLibraryExW(path, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  return g_hResourceDll != nullptr;
}

// Copies `text` into `destination` (room code units), cut to room - 1 code units when longer;
// a cut never leaves half of a surrogate pair behind.
void CopyCut(const WCHAR* text, std::size_t length, WCHAR* destination, std::size_t room) noexcept {
  if (destination == nullptr || room == 0) return;
  std::size_t units = length < room - 1 ? length : room - 1;
  if (units < length && units > 0 && IS_HIGH_SURROGATE(text[units - 1])) --units;
  wmemcpy(destination, text, units);
  destination[units] = L'\0';
}

}  // namespace

// Translation thread. Takes one reference; the first one loads the module.
CResourceDll::CResourceDll() noexcept {
  if (g_cResourceDllRef++ > 0) return;  // loaded already, or failed and not tried again yet
  if (!LoadResourceModule()) {
    g_hResourceDll = nullptr;
    ShowMessageBox(L"Unable to load Resource DLL", L"Fenwold", MB_ICONERROR | MB_OK);
  }
}

// Translation thread. Gives the reference back; the last one frees the module.
CResourceDll::~CResourceDll() {
  if (--g_cResourceDllRef > 0) return;
  if (g_hResourceDll != nullptr) FreeLibrary(g_hResourceDll);
  g_hResourceDll = nullptr;
}

BOOL ExpandLeadingEnvironmentVariable(WCHAR* path) noexcept {
  if (path == nullptr || path[0] != L'%') return TRUE;
  const std::size_t length = wcsnlen(path, kResourcePathRoom);
  if (length >= kResourcePathRoom) return FALSE;  // not terminated within its room

  const WCHAR* close = wmemchr(path + 1, L'%', length - 1);
  if (close == nullptr) return TRUE;

  // Name, value and result each fit 259 characters; the name does, being part of the path.
  WCHAR name[kResourcePathRoom];
  const std::size_t nameLength = static_cast<std::size_t>(close - (path + 1));
  wmemcpy(name, path + 1, nameLength);
  name[nameLength] = L'\0';

  WCHAR value[kResourcePathRoom];
  const DWORD valueLength = GetEnvironmentVariableW(name, value, static_cast<DWORD>(kResourcePathRoom));
  if (valueLength == 0 || valueLength >= kResourcePathRoom) return FALSE;  // undefined, empty or too long

  const WCHAR* rest = close + 1;
  const std::size_t restLength = length - static_cast<std::size_t>(rest - path);
  if (valueLength + restLength > kResourcePathRoom - 1) return FALSE;

  WCHAR result[kResourcePathRoom];
  wmemcpy(result, value, valueLength);
  wmemcpy(result + valueLength, rest, restLength);
  result[valueLength + restLength] = L'\0';
  wmemcpy(path, result, valueLength + restLength + 1);
  return TRUE;
}

void FormatSizeText(HMODULE module, LONGLONG size, WCHAR* destination, std::size_t room) noexcept {
  if (destination == nullptr || room == 0) return;

  LONGLONG number = size;
  UINT unit = IDS_UNIT_BYTES;
  if (size >= 1024) {
    number = size / 1024;
    unit = IDS_UNIT_KILOBYTES;
    if (number >= 100000) {
      number /= 1024;
      unit = IDS_UNIT_MEGABYTES;
      if (number >= 100000) {
        number /= 1024;
        unit = IDS_UNIT_GIGABYTES;
      }
    }
  }

  WCHAR word[kUnitWordRoom] = {};
  const int wordLength = LoadStringW(module, unit, word, kUnitWordRoom);
  if (wordLength <= 0) return;

  WCHAR text[kNumberTextRoom + 1 + kUnitWordRoom] = {};
  FormatNumberText(number, text, kNumberTextRoom);
  std::size_t length = wcslen(text);
  text[length++] = L' ';
  wmemcpy(text + length, word, static_cast<std::size_t>(wordLength));
  length += static_cast<std::size_t>(wordLength);
  text[length] = L'\0';
  CopyCut(text, length, destination, room);
}

WCHAR* FormatNumberText(LONGLONG value, WCHAR* destination, UINT room) noexcept {
  if (destination == nullptr || room == 0) return nullptr;

  // Digits from the right, a "," before every further group of three; the sign goes in front.
  unsigned long long magnitude =
      value < 0 ? 0ULL - static_cast<unsigned long long>(value) : static_cast<unsigned long long>(value);
  WCHAR reversed[32];
  std::size_t length = 0;
  int digits = 0;
  do {
    if (digits > 0 && digits % 3 == 0) reversed[length++] = L',';
    reversed[length++] = static_cast<WCHAR>(L'0' + magnitude % 10);
    magnitude /= 10;
    ++digits;
  } while (magnitude != 0);
  if (value < 0) reversed[length++] = L'-';

  if (length >= room) {
    destination[0] = L'\0';
    return destination;
  }
  for (std::size_t i = 0; i < length; ++i) destination[i] = reversed[length - 1 - i];
  destination[length] = L'\0';
  return destination;
}
