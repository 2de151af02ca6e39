#pragma once
// Registers the test resource module (tarnswell_res.dll, built beside the test programs) as
// the service's resource module: HKLM "SOFTWARE\Pellmark\TarnswellNT4" value
// "ResourceDllName". The value, and the keys it had to create, go again when the object ends.

#include <windows.h>
#include <string>

class ResourceDllRegistration {
 public:
  explicit ResourceDllRegistration(const std::wstring& path = DefaultPath());
  ~ResourceDllRegistration();
  ResourceDllRegistration(const ResourceDllRegistration&) = delete;
  ResourceDllRegistration& operator=(const ResourceDllRegistration&) = delete;

  void Set(const std::wstring& path);  // writes another text into the value
  void Remove();                       // removes the value only

  static std::wstring ProgramFolder();  // this program's folder, no trailing backslash
  static std::wstring DefaultPath() { return ProgramFolder() + L"\\tarnswell_res.dll"; }

 private:
  bool m_createdVendorKey;
  bool m_createdProductKey;
};
