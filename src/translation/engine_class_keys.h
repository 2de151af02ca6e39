#pragma once
// The volatile class keys of the engine classes the translation layer makes at run time.

#include <windows.h>

// Translation thread. Writes the volatile class key of an engine class under
// HKEY_CLASSES_ROOT: "AppID", and "InProcServer32" with the server path registered for the
// pseudo-service class (empty when that cannot be read) and "ThreadingModel" "Free".
// A key or value that cannot be written is traced and left out; the class object registered
// with COM serves in-process callers without it. Always TRUE.
BOOL RegisterEngineClass(CLSID clsid, GUID appid) noexcept;

// Translation thread. Removes the class key of an engine class with all its subkeys.
void UnregisterEngineClass(CLSID clsid) noexcept;

// Any thread. Deletes `subKey` under `hParent` with every key below it, children first.
// 0, or the Win32 error of the first step that failed (the rest of the tree stays).
LONG DeleteRegKey(HKEY hParent, const wchar_t* subKey) noexcept;

// Test seam: stands in for RegCreateKeyExW when the engine class keys are written (a registry
// that refuses writes to HKEY_CLASSES_ROOT cannot be produced on every system); nullptr
// restores RegCreateKeyExW.
using CreateRegKeyFunction = LONG(WINAPI*)(HKEY parent, LPCWSTR subKey, DWORD reserved, LPWSTR className,
                                           DWORD options, REGSAM access, LPSECURITY_ATTRIBUTES security,
                                           PHKEY result, LPDWORD disposition);
void SetCreateRegKeyFunction(CreateRegKeyFunction function) noexcept;
