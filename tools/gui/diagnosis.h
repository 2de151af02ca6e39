#pragma once
// Plain sentences for what went wrong when the GUI cannot reach the service, found out by
// looking where the module looks (rights, the service's registry key, the service control
// manager) after the module has refused.

#include <windows.h>

#include <string>

// After ID_INIT_PIPE_COM failed for `machine`.
std::wstring ExplainConnectFailure(const std::wstring& machine);
// After the pseudo-service object could not be created.
std::wstring ExplainActivationFailure(HRESULT hr);
// True when this process holds the Administrators group.
bool HasAdministratorRights();
