#pragma once
// Per-drive engine classes and the translation layer's shutdown at GUI exit.

#include <windows.h>
#include <unknwn.h>

// Translation thread. Makes a new engine class for the drive, registers it (volatile registry
// keys and the class object) and makes the drive the newest pseudo engine. A letter outside
// A to Z touches nothing.
void SetPseudoEngineDrive(WCHAR letter) noexcept;

// Translation thread, at GUI exit: ends the pipe thread, closes the sending pipe, releases
// every GUI connection and removes the engine class keys.
void ExitTranslationLayer() noexcept;

// Translation thread. Releases every GUI connection and takes back every engine class the
// layer made: its registry keys and its class-object registration.
void CloseCOMPtrs() noexcept;

// Any thread (DllGetClassObject). When `clsid` is an engine class of the layer, the interface
// `riid` of its class object goes to `*ppv`, its result to `*result`, and the answer is true.
[[nodiscard]] bool QueryEngineClassObject(REFCLSID clsid, REFIID riid, void** ppv, HRESULT* result) noexcept;
