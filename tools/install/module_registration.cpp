#include "install/module_registration.h"

#include <windows.h>

#include "common/console.h"
#include "common/text.h"
#include "shared/owners.h"

namespace {

const std::wstring kClassKey = std::wstring(L"CLSID\\") + kPseudoServiceClsid;
const std::wstring kServerKey = kClassKey + L"\\InprocServer32";

LSTATUS SetString(HKEY key, const wchar_t* name, const std::wstring& value) {
  return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                        static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

int Fail(const std::wstring& what, DWORD error) {
  if (error == ERROR_ACCESS_DENIED) {
    ErrLine(what + L": this account lacks administrator rights.");
  } else {
    ErrLine(what + L": " + Win32ErrorText(error));
  }
  return 1;
}

// Calls DllRegisterServer or DllUnregisterServer of the module file.
HRESULT CallRegistrationEntry(const std::wstring& modulePath, const char* entry, std::wstring& problem) {
  UniqueModule module(LoadLibraryExW(modulePath.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
  if (!module) {
    problem = L"the module cannot be loaded: " + Win32ErrorText(GetLastError());
    return HRESULT_FROM_WIN32(GetLastError());
  }
  using Entry = HRESULT(STDAPICALLTYPE*)();
  auto function = reinterpret_cast<Entry>(reinterpret_cast<void*>(GetProcAddress(module.get(), entry)));
  if (function == nullptr) {
    problem = L"the module has no " + FromUtf8(entry);
    return HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
  }
  const HRESULT hr = function();
  if (FAILED(hr)) {
    wchar_t text[64];
    _snwprintf(text, 63, L"0x%08lX", static_cast<unsigned long>(hr));
    text[63] = L'\0';
    problem = FromUtf8(entry) + L" failed with " + text;
  }
  return hr;
}

std::wstring FullPath(const std::wstring& path) {
  wchar_t full[MAX_PATH];
  const DWORD n = GetFullPathNameW(path.c_str(), MAX_PATH, full, nullptr);
  return n == 0 || n >= MAX_PATH ? path : std::wstring(full, n);
}

}  // namespace

int InstallModule(const std::wstring& path) {
  const std::wstring modulePath = FullPath(path);
  if (GetFileAttributesW(modulePath.c_str()) == INVALID_FILE_ATTRIBUTES) {
    ErrLine(L"The module " + modulePath + L" is not there.");
    return 1;
  }
  {
    UniqueHKey classKey, serverKey;
    LSTATUS status = RegCreateKeyExW(HKEY_CLASSES_ROOT, kClassKey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                     KEY_SET_VALUE, nullptr, classKey.put(), nullptr);
    if (status != ERROR_SUCCESS) return Fail(L"The module's class cannot be registered", static_cast<DWORD>(status));
    SetString(classKey.get(), nullptr, L"Cobalin pseudo-service");
    status = RegCreateKeyExW(HKEY_CLASSES_ROOT, kServerKey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                             KEY_SET_VALUE, nullptr, serverKey.put(), nullptr);
    if (status == ERROR_SUCCESS) status = SetString(serverKey.get(), nullptr, modulePath);
    // Free-threaded, like the engine classes the module registers for itself: its objects
    // hand every command to the module's own threads and need no apartment of the caller's.
    if (status == ERROR_SUCCESS) status = SetString(serverKey.get(), L"ThreadingModel", L"Free");
    if (status != ERROR_SUCCESS) {
      RegDeleteTreeW(HKEY_CLASSES_ROOT, kClassKey.c_str());
      return Fail(L"The module's class cannot be registered", static_cast<DWORD>(status));
    }
  }
  std::wstring problem;
  if (FAILED(CallRegistrationEntry(modulePath, "DllRegisterServer", problem))) {
    RegDeleteTreeW(HKEY_CLASSES_ROOT, kClassKey.c_str());
    ErrLine(L"The module could not register itself: " + problem + L".");
    return 1;
  }
  OutLine(L"The module " + modulePath + L" is installed (class " + kPseudoServiceClsid + L", type library registered).");
  return 0;
}

int UninstallModule(const std::wstring& path) {
  const std::wstring modulePath = FullPath(path);
  if (GetFileAttributesW(modulePath.c_str()) != INVALID_FILE_ATTRIBUTES) {
    std::wstring problem;
    if (FAILED(CallRegistrationEntry(modulePath, "DllUnregisterServer", problem))) {
      ErrLine(L"Note: the module could not unregister itself: " + problem + L".");
    }
  }
  const LSTATUS status = RegDeleteTreeW(HKEY_CLASSES_ROOT, kClassKey.c_str());
  if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
    return Fail(L"The module's class cannot be removed", static_cast<DWORD>(status));
  }
  OutLine(L"The module is removed.");
  return 0;
}

void ShowModuleStatus() {
  wchar_t value[MAX_PATH * 2] = {};
  LONG size = sizeof(value);
  if (RegQueryValueW(HKEY_CLASSES_ROOT, kServerKey.c_str(), value, &size) == ERROR_SUCCESS) {
    OutLine(std::wstring(L"Module: installed, ") + value);
  } else {
    OutLine(L"Module: not installed");
  }
}
