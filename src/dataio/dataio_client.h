#pragma once
// The module's links with COM for DataIo traffic: offering its class object under a class
// made at run time, and the client side towards the GUI's data objects.

#include <windows.h>
#include <objidl.h>
#include <cstdint>

// Translation thread. Registers `factory` (g_ClassFactory when nullptr) under `clsid`
// (contexts 0x15). FALSE on failure.
BOOL InitializeDataIo(REFCLSID clsid, DWORD regclsFlags, DWORD* pdwRegister, IClassFactory* factory = nullptr) noexcept;

// Translation thread. Connects the slot to a new GUI data object of class `clsid`. FALSE when
// the slot is already filled (nothing changes) or the activation fails (message box).
BOOL InitializeDataIoClient(REFCLSID clsid, const wchar_t* machineName, IDataObject** ppDataObject) noexcept;

// Translation thread. Sends a DataIo packet (header + `length` body bytes) to a GUI object.
// FALSE, doing nothing, when pDataObject is null.
BOOL DataIoClientSetData(std::uint32_t command, const void* data, std::uint32_t length,
                         IDataObject* pDataObject) noexcept;

// Translation thread. Releases the slot's object and empties the slot. Always TRUE.
BOOL ExitDataIoClient(IDataObject** ppDataObject) noexcept;
