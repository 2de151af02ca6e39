#pragma once
// The module's identity: the classes, type library and application it is known by, and its
// instance handle, kept at load. Live from load to unload.

#include <windows.h>
#include <objbase.h>

extern const CLSID CLSID_PseudoService;  // {1B872DBC-5A55-43B1-AFF6-4115DD5C3D44}
extern const GUID LIBID_COBALINLib;      // {96AAD113-9A21-4162-8DC7-7A02CA59369D}
extern const GUID APPID_Engine;          // {FE46042C-22D2-4964-A198-D9D9FA11D477}

extern HINSTANCE g_hInstance;            // the module, kept at load
