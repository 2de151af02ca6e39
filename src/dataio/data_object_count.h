#pragma once
// The count of live data objects, which decides whether the module may be unloaded.

#include <windows.h>

extern HANDLE g_hNoDataObjectsEvent;     // manual reset; signalled exactly while no data object lives

// Any thread: the count of live data objects and its event, changed as one step.
void DataObjectCreated() noexcept;
void DataObjectDestroyed() noexcept;
