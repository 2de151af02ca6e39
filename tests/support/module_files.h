#pragma once
// Where the built module lives, and its registration as an installation would write it.

#include <windows.h>
#include <string>

// COBALIN_BIN_DIR as a Windows path, with a trailing backslash.
std::wstring BinDir();
// A file of the build's bin folder, for example L"cobalin.dll" or L"bare\\cobalin.dll".
std::wstring BinFile(const wchar_t* relative);

// HKCR\CLSID\{pseudo-service class}\InprocServer32 naming `serverPath`, "ThreadingModel" "Both";
// removed again when the object goes.
class PseudoServiceRegistration {
 public:
  explicit PseudoServiceRegistration(const std::wstring& serverPath);
  ~PseudoServiceRegistration();
  PseudoServiceRegistration(const PseudoServiceRegistration&) = delete;
  PseudoServiceRegistration& operator=(const PseudoServiceRegistration&) = delete;
  [[nodiscard]] bool ok() const { return m_ok; }

 private:
  bool m_ok = false;
};

// The braced text of a GUID.
std::wstring GuidText(const GUID& guid);
// The text of a REG_SZ value, or L"<missing>". Read as stored: a value whose bytes do not end with
// its terminator (and hold no other) comes back with a note saying so appended to the text.
std::wstring ReadRegString(HKEY root, const std::wstring& key, const wchar_t* value);
bool RegKeyExists(HKEY root, const std::wstring& key);
