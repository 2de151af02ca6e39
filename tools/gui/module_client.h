#pragma once
// The GUI's side of its talk with the module: activating the pseudo-service object through
// COM and setting DataIo packets into the module's objects.

#include <windows.h>
#include <objidl.h>

#include <cstdint>
#include <string>

#include "shared/owners.h"

extern const CLSID CLSID_PseudoService;  // {1B872DBC-5A55-43B1-AFF6-4115DD5C3D44}

// Any thread of the multithreaded apartment: one DataIo packet into a module object, the block
// handed over with the release flag. The module owns the block once it has been handed over,
// also when SetData fails, so the block is never freed here after the call.
HRESULT SendDataIo(IDataObject* object, std::uint32_t command, const void* body, std::size_t bytes) noexcept;

// Main thread: the module's pseudo-service object (CoCreateInstance, in-process).
HRESULT CreatePseudoService(ComPtr<IDataObject>& object) noexcept;

// The module's thread (from the session model): an object of an engine class the module has
// just registered.
ComPtr<IDataObject> CreateEngineObject(const CLSID& engineClass) noexcept;

// The module file registered for the pseudo-service class, or empty.
std::wstring RegisteredModulePath();
