#pragma once
// Installing the service stand-in: runs tarnswell_service.exe --install or --uninstall, which
// does the work (service control manager and registry), and reports its outcome.

#include <string>
#include <vector>

// `arguments` follow --install (seed, tick, log). 0 on success, else the program's exit code.
int RunServiceSetup(const std::wstring& servicePath, const std::wstring& arguments);
void ShowServiceStatus();
