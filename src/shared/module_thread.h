#pragma once
// Threads that run the module's code. Each holds a reference on the module for as long as it
// runs and gives it back with FreeLibraryAndExitThread as its last act, so the module cannot
// be unmapped under a running thread, whatever the host does with FreeLibrary.

#include <windows.h>

// Creates a running thread; *threadId receives its id when given. Returns the thread's
// handle, or nullptr (with the last error of the failed call).
[[nodiscard]] HANDLE CreateModuleThread(LPTHREAD_START_ROUTINE function, void* parameter,
                                        DWORD* threadId) noexcept;
