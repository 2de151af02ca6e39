#pragma once
// Registers the test resource module (tarnswell_res.dll, built next to the test programs) as
// the service's resource module: HKLM "SOFTWARE\Pellmark\TarnswellNT4" value
// "ResourceDllName". What was added is removed again when the object ends.

#include <windows.h>
#include <string>

class ResourceDllRegistration {
 public:
  // Registers `path`; by default the full path of tarnswell_res.dll beside this program.
  explicit ResourceDllRegistration(const std::wstring& path = DefaultPath());
  ~ResourceDllRegistration();
  ResourceDllRegistration(const ResourceDllRegistration&) = delete;
  ResourceDllRegistration& operator=(const ResourceDllRegistration&) = delete;

  // Writes another text into the value.
  void Set(const std::wstring& path);
  // Removes the value (the keys stay until the object ends).
  void Remove();

  // The folder of this program, without a trailing backslash.
  static std::wstring ProgramFolder();
  static std::wstring DefaultPath() { return ProgramFolder() + L"\\tarnswell_res.dll"; }

 private:
  bool m_createdVendorKey = false;
  bool m_createdProductKey = false;
};
