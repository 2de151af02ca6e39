#pragma once
// Installing the service stand-in as a real service installation would: the service
// "Tarnswell" in the service control manager (started on demand), and the registry values
// other programs read: the build number under "SOFTWARE\Pellmark\Tarnswell\CurrentVersion"
// and the resource module's path under "SOFTWARE\Pellmark\TarnswellNT4".

#include "service/options.h"

constexpr const wchar_t* kBuildNumber = L"4.0.0.95";
constexpr const wchar_t* kResourceDllFile = L"tarnswell_res.dll";

// 0 on success; otherwise a message has been written and the result is the exit code.
int InstallService(const ServiceOptions& options);
int UninstallService();
