// The runtime's record of the thread that loads the module.
#pragma once

#include <windows.h>

// Frees what the runtime linked into the module keeps for the calling thread, as the thread's
// end would. Called once the runtime has started, under the loader lock.
void ReleaseRuntimeThreadRecord(HINSTANCE instance) noexcept;
