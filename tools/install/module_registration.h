#pragma once
// Installing the module as an installation does: the pseudo-service class key that names the
// module file as its in-process server, then the module's own registration (its type library)
// through DllRegisterServer. Undoing: DllUnregisterServer, then the class key.

#include <string>

constexpr const wchar_t* kPseudoServiceClsid = L"{1B872DBC-5A55-43B1-AFF6-4115DD5C3D44}";

// 0 on success; otherwise a message has been written and the result is the exit code.
int InstallModule(const std::wstring& modulePath);
int UninstallModule(const std::wstring& modulePath);
// Lines that tell what is installed.
void ShowModuleStatus();
