#pragma once
// Checks made before the module connects the GUI to a machine's service: administrator rights
// of this process, and that the service product's registry can be read on that machine.

#include <windows.h>

// Any thread. TRUE when this process's token holds the Administrators group.
BOOL IsAdministrator() noexcept;

// Any thread. Reads "BuildNumber" of the service product on `machineName` (locally when it is
// this computer, ignoring case). TRUE when the value could be read; the number after its last
// '.' goes to *pBuildNumber when given.
BOOL GetServiceBuildNumber(const wchar_t* machineName, LONG* pBuildNumber) noexcept;

// Test seam: what GetServiceBuildNumber reads another computer's "BuildNumber" with, in place
// of its remote registry (which Wine cannot reach): the text into `buffer`, its size in bytes
// in and out through *pcbBuffer, 0 or a Win32 error code. nullptr restores the registry.
using RemoteBuildNumberRead = LONG (*)(const wchar_t* machineName, WCHAR* buffer, DWORD* pcbBuffer);
void SetRemoteBuildNumberRead(RemoteBuildNumberRead read) noexcept;

// Reads a registry value of HKEY_LOCAL_MACHINE on `machineName` as text. *phKey: the opened key
// (NULL on entry: opened here and left for the caller to close). *pcbBuffer: buffer bytes in,
// returned bytes out. 0 or a Win32 error code.
LONG QueryRemoteRegistryString(const wchar_t* machineName, HKEY* phKey, const wchar_t* subKey,
                               const wchar_t* valueName, WCHAR* buffer, DWORD* pcbBuffer) noexcept;

// The same read on this machine's HKEY_LOCAL_MACHINE.
LONG QueryRegistryString(HKEY* phKey, const wchar_t* subKey, const wchar_t* valueName, WCHAR* buffer,
                         DWORD* pcbBuffer) noexcept;
