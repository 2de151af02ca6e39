#include "install/doctor.h"

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/console.h"
#include "common/text.h"
#include "install/doctor_service_account.h"
#include "install/module_registration.h"
#include "shared/owners.h"

REGSAM ViewFlag(int bits) { return bits == 64 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY; }

namespace {

constexpr const wchar_t* kLibId = L"{96AAD113-9A21-4162-8DC7-7A02CA59369D}";
constexpr const wchar_t* kServiceName = L"Tarnswell";
constexpr const wchar_t* kControlPipe = L"\\\\.\\pipe\\TarnswellControlPipe";
constexpr const wchar_t* kVersionKey = L"SOFTWARE\\Pellmark\\Tarnswell\\CurrentVersion";
constexpr const wchar_t* kResourceKey = L"SOFTWARE\\Pellmark\\TarnswellNT4";
// The module reads both values into 520 bytes (260 UTF-16 units); a longer value fails.
constexpr DWORD kModuleValueBytes = 520;
// The shipped module is 32-bit: its view is the one to look at when no registration says more.
constexpr int kShippedBits = 32;

// The architecture of this program. A path that a registry view of the other architecture
// holds is read as a program of that architecture reads it, so that either build of the doctor
// says the same of the same machine.
constexpr int kOwnBits = static_cast<int>(sizeof(void*) * 8);

std::wstring Bits(int bits) { return std::to_wstring(bits) + L"-bit"; }

// 32 and 64 on a 64-bit Windows, 32 alone on a 32-bit one (where both flags are ignored).
std::vector<int> RegistryViews() {
  SYSTEM_INFO info{};
  GetNativeSystemInfo(&info);
  const WORD arch = info.wProcessorArchitecture;
  if (arch == PROCESSOR_ARCHITECTURE_AMD64 || arch == PROCESSOR_ARCHITECTURE_IA64 ||
      arch == 12 /* PROCESSOR_ARCHITECTURE_ARM64 */) {
    return {32, 64};
  }
  return {32};
}

// Replaces `folder` (case aside) at the start of `path`, followed by a backslash, with `by`.
bool Rebase(std::wstring& path, const std::wstring& folder, const std::wstring& by) {
  if (folder.empty() || path.size() <= folder.size() || path[folder.size()] != L'\\' ||
      _wcsnicmp(path.c_str(), folder.c_str(), folder.size()) != 0) {
    return false;
  }
  path.replace(0, folder.size(), by);
  return true;
}

// Every `from` in `text` (case aside) replaced with `by`.
void ReplaceAll(std::wstring& text, const std::wstring& from, const std::wstring& by) {
  for (std::size_t at = 0; at + from.size() <= text.size();) {
    if (_wcsnicmp(text.c_str() + at, from.c_str(), from.size()) != 0) {
      ++at;
      continue;
    }
    text.replace(at, from.size(), by);
    at += by.size();
  }
}

// Environment variables expanded as a program of `bits` expands them: under WoW64 a 32-bit
// program's ProgramFiles and CommonProgramFiles are the "(x86)" folders, while every program
// knows the 64-bit ones as ProgramW6432 and CommonProgramW6432.
std::wstring ExpandAsProgramOf(int bits, std::wstring text) {
  if (bits != kOwnBits) {
    ReplaceAll(text, L"%ProgramFiles%", bits == 32 ? L"%ProgramFiles(x86)%" : L"%ProgramW6432%");
    ReplaceAll(text, L"%CommonProgramFiles%", bits == 32 ? L"%CommonProgramFiles(x86)%" : L"%CommonProgramW6432%");
  }
  wchar_t expanded[MAX_PATH * 2] = {};
  const DWORD n = ExpandEnvironmentStringsW(text.c_str(), expanded, MAX_PATH * 2);
  return n != 0 && n <= MAX_PATH * 2 ? std::wstring(expanded) : text;
}

// The name by which this program reaches the file that a program of `bits` opens as `path`:
// WoW64 shows a 32-bit program SysWOW64 as its System32, and the native System32 as Sysnative.
std::wstring FileAsProgramOf(int bits, std::wstring path) {
  if (bits == kOwnBits) return path;
  wchar_t windows[MAX_PATH] = {}, system[MAX_PATH] = {}, wow64[MAX_PATH] = {};
  GetWindowsDirectoryW(windows, MAX_PATH);
  GetSystemDirectoryW(system, MAX_PATH);
  const std::wstring native = std::wstring(windows) + L"\\Sysnative";
  if (bits == 32) {
    if (GetSystemWow64DirectoryW(wow64, MAX_PATH) != 0 && !Rebase(path, system, wow64)) Rebase(path, native, system);
  } else {
    Rebase(path, system, native);
  }
  return path;
}

// A value as text (any string type; REG_EXPAND_SZ expanded as a program of `bits` expands it),
// at most `room` bytes as the module reads it. Returns the registry status: ERROR_MORE_DATA when
// the value is longer than that.
LSTATUS ReadValue(HKEY root, const std::wstring& keyPath, const wchar_t* name, int bits, std::wstring& text,
                  DWORD room = 4096) {
  UniqueHKey key;
  LSTATUS status = RegOpenKeyExW(root, keyPath.c_str(), 0, KEY_QUERY_VALUE | ViewFlag(bits), key.put());
  if (status != ERROR_SUCCESS) return status;
  std::vector<wchar_t> buffer(room / sizeof(wchar_t) + 1, L'\0');
  DWORD type = 0, size = room;
  status = RegQueryValueExW(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()), &size);
  if (status != ERROR_SUCCESS) return status;
  text.assign(buffer.data(), wcsnlen(buffer.data(), size / sizeof(wchar_t)));
  if (type == REG_EXPAND_SZ || (!text.empty() && text[0] == L'%')) text = ExpandAsProgramOf(bits, text);
  return ERROR_SUCCESS;
}

bool KeyExists(HKEY root, const std::wstring& keyPath, int bits) {
  UniqueHKey key;
  return RegOpenKeyExW(root, keyPath.c_str(), 0, KEY_QUERY_VALUE | ViewFlag(bits), key.put()) == ERROR_SUCCESS;
}

bool FileExists(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// 32 or 64 for a Windows module (PE file) of x86 or x86-64 code, 0 for anything else.
int ModuleBits(const std::wstring& path) {
  UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return 0;
  auto readAt = [&](LONG offset, void* into, DWORD bytes) {
    DWORD got = 0;
    return SetFilePointer(file.get(), offset, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER &&
           ReadFile(file.get(), into, bytes, &got, nullptr) && got == bytes;
  };
  IMAGE_DOS_HEADER dos{};
  if (!readAt(0, &dos, sizeof(dos)) || dos.e_magic != IMAGE_DOS_SIGNATURE || dos.e_lfanew <= 0) return 0;
  struct {
    DWORD signature;
    IMAGE_FILE_HEADER header;
  } nt{};
  if (!readAt(dos.e_lfanew, &nt, sizeof(nt)) || nt.signature != IMAGE_NT_SIGNATURE) return 0;
  if (nt.header.Machine == IMAGE_FILE_MACHINE_I386) return 32;
  if (nt.header.Machine == IMAGE_FILE_MACHINE_AMD64) return 64;
  return 0;
}

// The group list of this process's token holds the Administrators group, whatever the group's
// attributes: the module's own check.
bool InAdministratorsGroup() {
  UniqueHandle token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_READ, token.put())) return false;
  DWORD size = 0;
  GetTokenInformation(token.get(), TokenGroups, nullptr, 0, &size);
  if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0) return false;
  std::vector<std::uint8_t> buffer(size);
  if (!GetTokenInformation(token.get(), TokenGroups, buffer.data(), size, &size)) return false;
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  UniqueSid administrators;
  if (!AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                                administrators.put())) {
    return false;
  }
  const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(buffer.data());
  for (DWORD i = 0; i < groups->GroupCount; ++i) {
    if (IsValidSid(groups->Groups[i].Sid) && EqualSid(groups->Groups[i].Sid, administrators.get())) return true;
  }
  return false;
}

class Examination {
 public:
  DoctorReport Run() {
    const int bits = CheckModuleClass();
    if (bits != 0) CheckTypeLibrary(bits);
    // The module reads the service's values in the registry view of its own architecture: that
    // of the module registered well, else of the module or key registered at all, else the
    // shipped module's.
    int valueBits = bits != 0 ? bits : m_intendedBits;
    if (valueBits == 0) valueBits = m_views.size() == 1 ? m_views[0] : kShippedBits;
    CheckService();
    CheckServiceAccount(m_report, valueBits);
    CheckBuildNumber(valueBits);
    CheckResourceModule(valueBits);
    CheckAdministrators();
    return std::move(m_report);
  }

 private:
  void Finding(const std::wstring& sentence) { m_report.findings.push_back(sentence); }
  void Seen(const std::wstring& sentence) { m_report.seen.push_back(sentence); }

  // The other view, for a hint, when there are two.
  int OtherView(int bits) const { return m_views.size() == 2 ? (bits == 32 ? 64 : 32) : 0; }

  // The pseudo-service class in each registry view; returns the architecture (32 or 64) of the
  // module registered consistently, 0 when there is none.
  int CheckModuleClass() {
    const std::wstring classKey = std::wstring(L"CLSID\\") + kPseudoServiceClsid;
    const std::wstring serverKey = classKey + L"\\InprocServer32";
    int good = 0;
    bool anywhere = false;
    for (const int view : m_views) {
      if (!KeyExists(HKEY_CLASSES_ROOT, classKey, view)) continue;
      anywhere = true;
      if (m_intendedBits == 0) m_intendedBits = view;
      const std::wstring where = L"The module's class key in the " + Bits(view) + L" registry view";
      std::wstring path;
      if (ReadValue(HKEY_CLASSES_ROOT, serverKey, nullptr, view, path) != ERROR_SUCCESS || path.empty()) {
        Finding(where + L" names no module file (no InprocServer32 path), so COM cannot load the module: "
                        L"reinstall the module (msiexec /i cobalin.msi).");
        continue;
      }
      const std::wstring file = FileAsProgramOf(view, path);
      if (!FileExists(file)) {
        Finding(where + L" names " + path + L", which does not exist: reinstall the module (msiexec /i cobalin.msi).");
        continue;
      }
      const int moduleBits = ModuleBits(file);
      if (moduleBits != 0) m_intendedBits = moduleBits;
      if (moduleBits == 0) {
        Finding(where + L" names " + path + L", which is not a Windows module of x86 or x86-64 code: "
                        L"reinstall the module (msiexec /i cobalin.msi).");
        continue;
      }
      if (moduleBits != view) {
        Finding(where + L" names " + path + L", a " + Bits(moduleBits) + L" module, which a " + Bits(view) +
                L" GUI cannot load and a " + Bits(moduleBits) + L" GUI does not look for there: remove that key " +
                L"(cobalin_install uninstall, by its " + Bits(view) + L" build) and install the module with " +
                L"msiexec /i cobalin.msi.");
        continue;
      }
      Seen(L"The module " + path + L" (" + Bits(moduleBits) + L") is registered in the " + Bits(view) +
           L" registry view.");
      std::wstring threading;
      if (ReadValue(HKEY_CLASSES_ROOT, serverKey, L"ThreadingModel", view, threading) != ERROR_SUCCESS) {
        Finding(where + L" has no threading model, so COM would load the module into a single-threaded " +
                L"apartment, while its objects are free-threaded: set ThreadingModel to \"Free\" by " +
                L"reinstalling the module.");
      } else if (lstrcmpiW(threading.c_str(), L"Free") != 0 && lstrcmpiW(threading.c_str(), L"Both") != 0) {
        Finding(where + L" has the threading model \"" + threading + L"\", while the module's objects are " +
                L"free-threaded: set ThreadingModel to \"Free\" by reinstalling the module.");
      }
      if (good == 0 || view == kShippedBits) good = view;
    }
    if (!anywhere) {
      Finding(std::wstring(L"The module's class ") + kPseudoServiceClsid + L" is not registered in the " +
              Bits(m_views.size() == 1 ? m_views[0] : kShippedBits) +
              L" registry view, so the GUI cannot create the module: install it with msiexec /i cobalin.msi.");
    }
    return good;
  }

  // RegisterTypeLib writes the path under <version>\<locale in hex>\win32 (or win64).
  void CheckTypeLibrary(int bits) {
    const std::wstring versionKey = std::wstring(L"TypeLib\\") + kLibId + L"\\1.0";
    const wchar_t* kind = bits == 64 ? L"win64" : L"win32";
    std::wstring path;
    UniqueHKey version;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, versionKey.c_str(), 0, KEY_ENUMERATE_SUB_KEYS | ViewFlag(bits),
                      version.put()) == ERROR_SUCCESS) {
      wchar_t name[64];
      for (DWORD i = 0; path.empty() && RegEnumKeyW(version.get(), i, name, 64) == ERROR_SUCCESS; ++i) {
        if (name[0] == L'\0' || wcsspn(name, L"0123456789abcdefABCDEF") != wcslen(name)) continue;  // FLAGS, HELPDIR
        ReadValue(HKEY_CLASSES_ROOT, versionKey + L"\\" + name + L"\\" + kind, nullptr, bits, path);
      }
    }
    if (path.empty()) {
      Finding(L"The module's type library is not registered for " + Bits(bits) + L" programs: reinstall the " +
              L"module (msiexec /i cobalin.msi, or regsvr32 on cobalin.dll).");
    } else if (!FileExists(FileAsProgramOf(bits, path))) {
      Finding(L"The module's type library is registered as " + path + L", which does not exist: reinstall the " +
              L"module (msiexec /i cobalin.msi).");
    } else {
      Seen(L"The module's type library is registered (" + path + L").");
    }
  }

  void CheckService() {
    UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
      Finding(L"The service control manager cannot be opened (" + Win32ErrorText(GetLastError()) +
              L"), so the module cannot start the service: run the GUI under an administrator's account.");
      return;
    }
    UniqueScHandle service(OpenServiceW(manager.get(), kServiceName, SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG));
    if (!service) {
      const DWORD error = GetLastError();
      if (error == ERROR_SERVICE_DOES_NOT_EXIST) {
        Finding(L"The service \"Tarnswell\" is not installed, so the module has no service to connect to: install "
                L"the 4.0 service (for the stand-in: cobalin_install install --service-only).");
      } else {
        Finding(L"The service \"Tarnswell\" cannot be looked at (" + Win32ErrorText(error) +
                L"): run the doctor and the GUI under an administrator's account.");
      }
      return;
    }
    DWORD needed = 0;
    QueryServiceConfigW(service.get(), nullptr, 0, &needed);
    std::vector<std::uint8_t> config(needed != 0 ? needed : sizeof(QUERY_SERVICE_CONFIGW));
    auto* configuration = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(config.data());
    const bool haveConfig =
        QueryServiceConfigW(service.get(), configuration, static_cast<DWORD>(config.size()), &needed) != FALSE;
    if (haveConfig && configuration->dwStartType == SERVICE_DISABLED) {
      Finding(L"The service \"Tarnswell\" is disabled, so the module cannot start it: set its start type to manual "
              L"(sc config Tarnswell start= demand).");
    }
    // The module opens the service for starting whatever its state.
    UniqueScHandle forStart(OpenServiceW(manager.get(), kServiceName, SERVICE_QUERY_STATUS | SERVICE_START));
    if (!forStart) {
      Finding(L"This account may not start the service \"Tarnswell\" (" + Win32ErrorText(GetLastError()) +
              L"), and the module opens it for starting: run the GUI under an administrator's account.");
    }
    SERVICE_STATUS status{};
    if (!QueryServiceStatus(service.get(), &status)) {
      Finding(L"The state of the service \"Tarnswell\" cannot be read (" + Win32ErrorText(GetLastError()) +
              L"): restart the service (sc stop Tarnswell, then sc start Tarnswell).");
      return;
    }
    switch (status.dwCurrentState) {
      case SERVICE_STOPPED:
        Seen(L"The service \"Tarnswell\" is installed and stopped; the module starts it when the GUI connects.");
        break;
      case SERVICE_RUNNING:
        CheckControlPipe();
        break;
      case SERVICE_PAUSED:
        Finding(L"The service \"Tarnswell\" is paused, so it does not serve the module: continue it "
                L"(sc continue Tarnswell).");
        break;
      default:
        Finding(L"The service \"Tarnswell\" is starting or stopping right now: wait a moment and run the doctor "
                L"again.");
        break;
    }
  }

  // Waits for an instance of the control pipe without connecting to it: the service never sees it.
  void CheckControlPipe() {
    if (WaitNamedPipeW(kControlPipe, 2000)) {
      Seen(L"The service \"Tarnswell\" is running and its control pipe answers.");
      return;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_BAD_PATHNAME) {
      Finding(L"The service \"Tarnswell\" runs, but its control pipe \\\\.\\pipe\\TarnswellControlPipe does not "
              L"exist, so the module cannot send it commands: restart the service (sc stop Tarnswell, then "
              L"sc start Tarnswell).");
    } else {
      Finding(L"The service \"Tarnswell\" runs, but its control pipe \\\\.\\pipe\\TarnswellControlPipe did not "
              L"take a connection within 2 seconds (" + Win32ErrorText(error) + L"): close any other program "
              L"connected to the service, or restart it.");
    }
  }

  std::wstring OnlyInOtherView(const std::wstring& keyPath, int bits) const {
    const int other = OtherView(bits);
    if (other != 0 && KeyExists(HKEY_LOCAL_MACHINE, keyPath, other)) {
      return L" (it is in the " + Bits(other) + L" view only, which a " + Bits(bits) + L" module does not read)";
    }
    return {};
  }

  void CheckBuildNumber(int bits) {
    std::wstring value;
    const LSTATUS status = ReadValue(HKEY_LOCAL_MACHINE, kVersionKey, L"BuildNumber", bits, value, kModuleValueBytes);
    const std::wstring where = L"HKLM\\" + std::wstring(kVersionKey) + L" in the " + Bits(bits) + L" registry view";
    if (status == ERROR_FILE_NOT_FOUND && !KeyExists(HKEY_LOCAL_MACHINE, kVersionKey, bits)) {
      Finding(L"The service's version key " + where + L" is missing" + OnlyInOtherView(kVersionKey, bits) +
              L", so the module refuses to connect to the service: reinstall the service.");
    } else if (status == ERROR_FILE_NOT_FOUND) {
      Finding(L"The value \"BuildNumber\" is missing from " + where +
              L", so the module refuses to connect to the service: reinstall the service.");
    } else if (status == ERROR_MORE_DATA) {
      Finding(L"The value \"BuildNumber\" in " + where + L" is longer than the 260 characters the module reads, "
              L"so the module refuses to connect to the service: reinstall the service.");
    } else if (status != ERROR_SUCCESS) {
      Finding(L"The value \"BuildNumber\" in " + where + L" cannot be read (" +
              Win32ErrorText(static_cast<DWORD>(status)) +
              L"), so the module refuses to connect to the service: give this account read access to the key.");
    } else {
      Seen(L"The service's build number \"" + value + L"\" is readable in the " + Bits(bits) + L" registry view.");
    }
  }

  void CheckResourceModule(int bits) {
    std::wstring path;
    const LSTATUS status = ReadValue(HKEY_LOCAL_MACHINE, kResourceKey, L"ResourceDllName", bits, path, kModuleValueBytes);
    const std::wstring consequence =
        L"so the module shows \"Unable to load Resource DLL\" at the first fragmented-file report and its size "
        L"texts lack their unit words";
    if (status != ERROR_SUCCESS || path.empty()) {
      Finding(L"The service names no resource module (value \"ResourceDllName\" of HKLM\\" + std::wstring(kResourceKey) +
              L" in the " + Bits(bits) + L" registry view" + OnlyInOtherView(kResourceKey, bits) + L"), " +
              consequence + L": reinstall the service.");
      return;
    }
    const std::wstring file = FileAsProgramOf(bits, path);
    if (!FileExists(file)) {
      Finding(L"The resource module " + path + L" that the service names does not exist, " + consequence +
              L": reinstall the service.");
      return;
    }
    // The module maps it as an image resource, as data only: a module of either architecture
    // serves, as long as it maps and holds the unit words.
    UniqueModule resources(
        LoadLibraryExW(file.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
    wchar_t word[64] = {};
    if (!resources) {
      Finding(L"The resource module " + path + L" that the service names cannot be loaded (" +
              Win32ErrorText(GetLastError()) + L"), " + consequence + L": reinstall the service.");
    } else if (LoadStringW(resources.get(), 109, word, 64) <= 0) {
      Finding(L"The resource module " + path + L" that the service names has no unit words (string 109), " +
              L"so the module's size texts lack them: reinstall the service.");
    } else {
      Seen(L"The service's resource module " + path + L" loads.");
    }
  }

  void CheckAdministrators() {
    if (InAdministratorsGroup()) {
      Seen(L"This account is a member of the Administrators group.");
    } else {
      Finding(L"This account is not a member of the Administrators group, and the module refuses to connect to "
              L"the service for such a caller: run the GUI under an administrator's account.");
    }
  }

  std::vector<int> m_views = RegistryViews();
  int m_intendedBits = 0;  // the architecture that the class registration points to, if any
  DoctorReport m_report;
};

}  // namespace

DoctorReport ExamineMachine() { return Examination().Run(); }

int RunDoctor() {
  const DoctorReport report = ExamineMachine();
  for (const std::wstring& line : report.seen) OutLine(L"OK: " + line);
  for (const std::wstring& line : report.findings) OutLine(L"PROBLEM: " + line);
  if (report.findings.empty()) {
    OutLine(L"Healthy: the module can work on this machine.");
    return 0;
  }
  OutLine(std::to_wstring(report.findings.size()) +
          (report.findings.size() == 1 ? L" problem stands" : L" problems stand") +
          L" in the module's way on this machine.");
  return 1;
}
