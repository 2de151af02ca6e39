#pragma once
// The module's registry entries: its type library (at installation, through DllRegisterServer
// and DllUnregisterServer) and the volatile class keys of the engine classes made at run time.

#include <windows.h>

// Translation thread. Writes the volatile class key of an engine class under
// HKEY_CLASSES_ROOT: "AppID", and "InProcServer32" with the server path registered for the
// pseudo-service class (empty when that cannot be read) and "ThreadingModel" "Free".
// Registry failures go unnoticed; always TRUE.
BOOL RegisterEngineClass(CLSID clsid, GUID appid) noexcept;

// Translation thread. Removes the class key of an engine class with all its subkeys.
void UnregisterEngineClass(CLSID clsid) noexcept;

// Any thread. Deletes `subKey` under `hParent` with every key below it, children first.
// 0, or the Win32 error of the first step that failed (the rest of the tree stays).
LONG DeleteRegKey(HKEY hParent, const wchar_t* subKey) noexcept;
