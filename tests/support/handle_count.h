#pragma once
// How many handles this process has open: for checks that nothing is left behind.

#include <windows.h>

// Handles open in this process (GetProcessHandleCount where the system fills it in, else from
// the system's handle table or by probing handle values, as Wine needs).
DWORD OpenHandleCount();
