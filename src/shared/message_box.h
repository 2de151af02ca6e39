#pragma once
// Every message box of the module goes through here. The box runs on a short-lived thread of
// its own while the caller waits for that thread without pumping messages: a modal loop on
// the caller's thread would take the caller's posted thread messages off its queue and throw
// them away, and the translation thread's queue carries the service's packets and the GUI's
// commands. The caller is held until the user closes the box, as with a plain MessageBoxW.

#include <windows.h>

// Shows a box with no owner window; returns what MessageBoxW returned (or the hook).
int ShowMessageBox(const wchar_t* text, const wchar_t* caption, UINT type) noexcept;

// Test seam: Wine shows no boxes without a display. A hook, when set, is called on the box's
// own thread instead of MessageBoxW and its result returned.
using MessageBoxHook = int (*)(const wchar_t* text, const wchar_t* caption, UINT type, void* context);
void SetMessageBoxHook(MessageBoxHook hook, void* context) noexcept;
