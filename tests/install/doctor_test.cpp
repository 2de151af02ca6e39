// The doctor (cobalin_install doctor) on a prefix of its own: each case starts from a healthy
// installation (the module and the service stand-in installed by cobalin_install of this
// program's build, so module and keys in the registry view of its architecture), seeds one fault
// through the registry or the service control manager, and checks the doctor's sentence and its
// exit status. Both builds run the same cases and expect the same: every view, architecture and
// sentence is said relative to the architecture under test.

#include <gtest/gtest.h>

#include <string>

#include "common/text.h"
#include "e2e/e2e_support.h"
#include "shared/owners.h"

namespace {

constexpr DWORD kInstallMs = 60000;
constexpr wchar_t kClassKey[] = L"CLSID\\{1B872DBC-5A55-43B1-AFF6-4115DD5C3D44}";
constexpr wchar_t kServerKey[] = L"CLSID\\{1B872DBC-5A55-43B1-AFF6-4115DD5C3D44}\\InprocServer32";
constexpr wchar_t kTypeLibKey[] = L"TypeLib\\{96AAD113-9A21-4162-8DC7-7A02CA59369D}";
constexpr wchar_t kVersionKey[] = L"SOFTWARE\\Pellmark\\Tarnswell\\CurrentVersion";
constexpr wchar_t kResourceKey[] = L"SOFTWARE\\Pellmark\\TarnswellNT4";

// The architecture under test (this program's, cobalin_install's and the installed module's) and
// the other one, each with its registry view.
constexpr int kOwnBits = static_cast<int>(sizeof(void*) * 8);
constexpr int kOtherBits = kOwnBits == 64 ? 32 : 64;
constexpr REGSAM View(int bits) { return bits == 64 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY; }
constexpr REGSAM kOwnView = View(kOwnBits);
constexpr REGSAM kOtherView = View(kOtherBits);
std::string Bits(int bits) { return std::to_string(bits) + "-bit"; }
// Where RegisterTypeLib puts the path for programs of `bits`.
std::wstring TypeLibEntry(int bits) {
  return std::wstring(kTypeLibKey) + L"\\1.0\\409\\" + (bits == 64 ? L"win64" : L"win32");
}
// The system folder of this architecture's programs, or that of the other's as reached from here:
// WoW64 shows a 32-bit program SysWOW64 as System32, and the native System32 as Sysnative.
std::wstring SystemFolder(int bits) {
  wchar_t folder[MAX_PATH] = {};
  if (bits == kOwnBits) {
    GetSystemDirectoryW(folder, MAX_PATH);
  } else if (bits == 32) {
    GetSystemWow64DirectoryW(folder, MAX_PATH);
  } else if (GetWindowsDirectoryW(folder, MAX_PATH) != 0) {
    wcsncat(folder, L"\\Sysnative", MAX_PATH - wcslen(folder) - 1);
  }
  return folder;
}
// The doctor's line for a module of `bits` registered well.
std::string RegisteredLine(const std::wstring& path, int bits) {
  return "OK: The module " + ToUtf8(path) + " (" + Bits(bits) + ") is registered in the " + Bits(bits) +
         " registry view.";
}

LSTATUS SetValue(HKEY root, const std::wstring& path, const wchar_t* name, DWORD type, const void* data, DWORD size,
                 REGSAM view) {
  UniqueHKey key;
  LSTATUS status = RegCreateKeyExW(root, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE | view,
                                   nullptr, key.put(), nullptr);
  if (status != ERROR_SUCCESS) return status;
  return RegSetValueExW(key.get(), name, 0, type, static_cast<const BYTE*>(data), size);
}
LSTATUS SetString(HKEY root, const std::wstring& path, const wchar_t* name, const std::wstring& value, REGSAM view,
                  DWORD type = REG_SZ) {
  return SetValue(root, path, name, type, value.c_str(), static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)), view);
}
// The administrator's switch that opens the module's receiving pipe to every caller, set in `view`.
LSTATUS OpenThePipeToAll(REGSAM view) {
  const DWORD on = 1;
  return SetValue(HKEY_CLASSES_ROOT, kClassKey, L"OpenReceivingPipe", REG_DWORD, &on, sizeof(on), view);
}

LSTATUS DeleteTree(HKEY root, const std::wstring& path, REGSAM view) {
  UniqueHKey key;
  LSTATUS status = RegOpenKeyExW(root, path.c_str(), 0, KEY_ALL_ACCESS | view, key.put());
  if (status != ERROR_SUCCESS) return status;
  status = RegDeleteTreeW(key.get(), nullptr);
  if (status != ERROR_SUCCESS) return status;
  key.reset();
  return RegDeleteKeyExW(root, path.c_str(), view, 0);
}

LSTATUS DeleteValue(HKEY root, const std::wstring& path, const wchar_t* name, REGSAM view) {
  UniqueHKey key;
  LSTATUS status = RegOpenKeyExW(root, path.c_str(), 0, KEY_SET_VALUE | view, key.put());
  return status == ERROR_SUCCESS ? RegDeleteValueW(key.get(), name) : status;
}

std::wstring ReadString(HKEY root, const std::wstring& path, const wchar_t* name, REGSAM view) {
  UniqueHKey key;
  if (RegOpenKeyExW(root, path.c_str(), 0, KEY_QUERY_VALUE | view, key.put()) != ERROR_SUCCESS) return {};
  wchar_t value[1024] = {};
  DWORD size = sizeof(value) - sizeof(wchar_t);
  if (RegGetValueW(key.get(), nullptr, name, RRF_RT_REG_SZ, nullptr, value, &size) != ERROR_SUCCESS) return {};
  return value;
}

// A file that starts like a Windows module of `bits` (i386 or x86-64 code): what the doctor reads
// of a module.
std::wstring WriteModuleHeader(const std::wstring& path, int bits) {
  std::string bytes(0x200, '\0');
  bytes[0] = 'M';
  bytes[1] = 'Z';
  bytes[0x3C] = static_cast<char>(0x80);  // e_lfanew
  bytes.replace(0x80, 4, std::string("PE\0\0", 4));
  const WORD machine = bits == 64 ? IMAGE_FILE_MACHINE_AMD64 : IMAGE_FILE_MACHINE_I386;
  bytes[0x84] = static_cast<char>(machine & 0xFF);  // little-endian
  bytes[0x85] = static_cast<char>(machine >> 8);
  UniqueHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  if (!file || !WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr)) return {};
  return path;
}

bool ChangeStartType(DWORD startType) {
  UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  UniqueScHandle service(manager ? OpenServiceW(manager.get(), L"Tarnswell", SERVICE_CHANGE_CONFIG) : nullptr);
  return service && ChangeServiceConfigW(service.get(), SERVICE_NO_CHANGE, startType, SERVICE_NO_CHANGE, nullptr,
                                         nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
}

bool StartTheService(const std::wstring& binaryPath) {
  UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  UniqueScHandle service(manager ? OpenServiceW(manager.get(), L"Tarnswell", SERVICE_CHANGE_CONFIG | SERVICE_START)
                                 : nullptr);
  if (!service) return false;
  if (!binaryPath.empty() &&
      !ChangeServiceConfigW(service.get(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                            binaryPath.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr)) {
    return false;
  }
  return StartServiceW(service.get(), 0, nullptr) && WaitForServiceState(SERVICE_RUNNING, 15000);
}

class Doctor : public ::testing::Test {
 protected:
  void SetUp() override {
    RunProgram(L"cobalin_install.exe", L"uninstall", kInstallMs);  // whatever an earlier case left
    std::string output;
    ASSERT_EQ(0u, RunProgram(L"cobalin_install.exe", L"install --seed 3", kInstallMs, &output)) << output;
    StopService(15000);
    ASSERT_EQ(static_cast<DWORD>(SERVICE_STOPPED), ServiceState());
  }
  void TearDown() override {
    StopService(15000);
    RunProgram(L"cobalin_install.exe", L"uninstall", kInstallMs);
    // What a case seeded in the other view.
    DeleteTree(HKEY_CLASSES_ROOT, kClassKey, kOtherView);
    DeleteTree(HKEY_CLASSES_ROOT, kTypeLibKey, kOtherView);
    DeleteTree(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Pellmark", kOtherView);
  }

  // Runs the doctor; its exit status, with its output in m_output.
  DWORD RunDoctor() {
    m_output.clear();
    return RunProgram(L"cobalin_install.exe", L"doctor", 30000, &m_output);
  }
  // The doctor exits 1 with exactly one problem, whose sentence holds every part.
  void ExpectOneProblem(std::initializer_list<std::string> parts) {
    ASSERT_EQ(1u, RunDoctor()) << m_output;
    std::size_t problems = 0, at = 0;
    while ((at = m_output.find("PROBLEM: ", at)) != std::string::npos) {
      ++problems;
      ++at;
    }
    EXPECT_EQ(1u, problems) << m_output;
    const std::size_t begin = m_output.find("PROBLEM: ");
    const std::string line = m_output.substr(begin, m_output.find('\n', begin) - begin);
    for (const std::string& part : parts) EXPECT_NE(std::string::npos, line.find(part)) << "\"" << part << "\" in\n" << m_output;
    EXPECT_NE(std::string::npos, m_output.find("1 problem stands in the module's way")) << m_output;
  }
  static std::wstring ModulePath() { return ReadString(HKEY_CLASSES_ROOT, kServerKey, nullptr, kOwnView); }

  std::string m_output;
};

TEST_F(Doctor, AHealthyInstallationIsSaidSoWithStatusZeroAndIsLeftAsItWas) {
  const std::wstring modulePath = ModulePath();
  ASSERT_FALSE(modulePath.empty());
  ASSERT_EQ(0u, RunDoctor()) << m_output;
  EXPECT_NE(std::string::npos, m_output.find(RegisteredLine(modulePath, kOwnBits))) << m_output;
  EXPECT_NE(std::string::npos, m_output.find("OK: The service \"Tarnswell\" is installed and stopped")) << m_output;
  EXPECT_NE(std::string::npos, m_output.find("OK: This account is a member of the Administrators group.")) << m_output;
  EXPECT_NE(std::string::npos, m_output.find("OK: The service \"Tarnswell\" runs as LocalSystem, which the module "
                                             "admits to its receiving pipe.")) << m_output;
  EXPECT_EQ(std::string::npos, m_output.find("PROBLEM")) << m_output;
  EXPECT_NE(std::string::npos, m_output.find("Healthy: the module can work on this machine.")) << m_output;
  // Read-only: the stopped service was not started, nothing was written to the other view.
  EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), ServiceState());
  EXPECT_EQ(L"", ReadString(HKEY_CLASSES_ROOT, kServerKey, nullptr, kOtherView));

  // Running, with its control pipe: still healthy, and the pipe is only looked at.
  ASSERT_TRUE(StartTheService(L""));
  ASSERT_EQ(0u, RunDoctor()) << m_output;
  EXPECT_NE(std::string::npos, m_output.find("OK: The service \"Tarnswell\" is running and its control pipe answers.")) << m_output;
  EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), ServiceState());

  // A module of the other architecture instead, registered in that architecture's view only with
  // its file in that architecture's system folder: healthy too, found where its programs look.
  ASSERT_EQ(0u, RunProgram(L"cobalin_install.exe", L"uninstall --module-only", kInstallMs));
  const std::wstring registered = SystemFolder(kOwnBits) + L"\\doctor-module-other.dll";
  const std::wstring file = WriteModuleHeader(SystemFolder(kOtherBits) + L"\\doctor-module-other.dll", kOtherBits);
  ASSERT_FALSE(file.empty());
  ASSERT_EQ(ERROR_SUCCESS, SetString(HKEY_CLASSES_ROOT, kServerKey, nullptr, registered, kOtherView));
  ASSERT_EQ(ERROR_SUCCESS, SetString(HKEY_CLASSES_ROOT, kServerKey, L"ThreadingModel", L"Free", kOtherView));
  ASSERT_EQ(ERROR_SUCCESS, SetString(HKEY_CLASSES_ROOT, TypeLibEntry(kOtherBits), nullptr, registered, kOtherView));
  for (const auto& [key, name] : {std::pair{kVersionKey, L"BuildNumber"}, {kResourceKey, L"ResourceDllName"}}) {
    const std::wstring value = ReadString(HKEY_LOCAL_MACHINE, key, name, kOwnView);
    ASSERT_EQ(ERROR_SUCCESS, SetString(HKEY_LOCAL_MACHINE, key, name, value, kOtherView));
  }
  // The administrator's switch counts in that module's view, not in this program's.
  ASSERT_EQ(ERROR_SUCCESS, OpenThePipeToAll(kOtherView));
  ASSERT_EQ(0u, RunDoctor()) << m_output;
  EXPECT_NE(std::string::npos, m_output.find(RegisteredLine(registered, kOtherBits))) << m_output;
  EXPECT_NE(std::string::npos, m_output.find("is readable in the " + Bits(kOtherBits) + " registry view.")) << m_output;
  EXPECT_NE(std::string::npos, m_output.find("in the " + Bits(kOtherBits) + " registry view is set, so the module's "
                                             "receiving pipe admits every caller")) << m_output;
  DeleteFileW(file.c_str());

  // Registered by the folder variables of that architecture (REG_EXPAND_SZ): they name the folders
  // that its view's ProgramFilesDir and CommonFilesDir give, not this program's.
  const wchar_t* const windowsKey = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
  const std::wstring inProgramFiles = ReadString(HKEY_LOCAL_MACHINE, windowsKey, L"ProgramFilesDir", kOtherView) +
                                      L"\\doctor-module-other.dll";
  const std::wstring inCommonFiles = ReadString(HKEY_LOCAL_MACHINE, windowsKey, L"CommonFilesDir", kOtherView) +
                                     L"\\doctor-module-other.dll";
  ASSERT_FALSE(WriteModuleHeader(inProgramFiles, kOtherBits).empty() || WriteModuleHeader(inCommonFiles, kOtherBits).empty());
  ASSERT_EQ(ERROR_SUCCESS, SetString(HKEY_CLASSES_ROOT, kServerKey, nullptr, L"%ProgramFiles%\\doctor-module-other.dll",
                                     kOtherView, REG_EXPAND_SZ));
  ASSERT_EQ(ERROR_SUCCESS, SetString(HKEY_CLASSES_ROOT, TypeLibEntry(kOtherBits), nullptr,
                                     L"%CommonProgramFiles%\\doctor-module-other.dll", kOtherView, REG_EXPAND_SZ));
  ASSERT_EQ(0u, RunDoctor()) << m_output;
  EXPECT_NE(std::string::npos, m_output.find(RegisteredLine(inProgramFiles, kOtherBits))) << m_output;
  DeleteFileW(inProgramFiles.c_str());
  DeleteFileW(inCommonFiles.c_str());
}

TEST_F(Doctor, OptionsAreRefusedSoThatTheDoctorNeverChangesAnything) {
  EXPECT_EQ(2u, RunProgram(L"cobalin_install.exe", L"doctor --fix", 30000, &m_output)) << m_output;
  EXPECT_NE(std::string::npos, m_output.find("doctor takes no options.")) << m_output;
}

TEST_F(Doctor, NoInstallationAtAllGivesOneSentenceEachForTheModuleAndTheService) {
  ASSERT_EQ(0u, RunProgram(L"cobalin_install.exe", L"uninstall", kInstallMs));
  ASSERT_EQ(1u, RunDoctor()) << m_output;
  // Without any registration the doctor looks in the shipped 32-bit module's view, whichever build looks.
  for (const char* part : {"PROBLEM: The module's class {1B872DBC-5A55-43B1-AFF6-4115DD5C3D44} is not registered in "
                           "the 32-bit registry view, so the GUI cannot create the module: install it with msiexec /i "
                           "cobalin.msi.",
                           "PROBLEM: The service \"Tarnswell\" is not installed",
                           "PROBLEM: The service's version key HKLM\\SOFTWARE\\Pellmark\\Tarnswell\\CurrentVersion in "
                           "the 32-bit registry view is missing",
                           "PROBLEM: The service names no resource module", "4 problems stand"}) {
    EXPECT_NE(std::string::npos, m_output.find(part)) << part << "\n" << m_output;
  }
  EXPECT_FALSE(ClassesRootKeyExists(kClassKey));  // still nothing installed
  EXPECT_EQ(0u, ServiceState());
}

TEST_F(Doctor, AClassKeyInTheWrongViewForItsModuleIsAFinding) {
  // A key naming a module of the other architecture: what an installation program of this
  // architecture writes for a module of the other (a 64-bit one for the shipped 32-bit module).
  const std::wstring other = WriteModuleHeader(BinDir() + L"doctor-module-other.dll", kOtherBits);
  ASSERT_FALSE(other.empty());
  ASSERT_EQ(ERROR_SUCCESS, SetString(HKEY_CLASSES_ROOT, kServerKey, nullptr, other, kOwnView));
  ASSERT_EQ(1u, RunDoctor()) << m_output;
  EXPECT_NE(std::string::npos,
            m_output.find("PROBLEM: The module's class key in the " + Bits(kOwnBits) + " registry view names " +
                          ToUtf8(other) + ", a " + Bits(kOtherBits) + " module, which a " + Bits(kOwnBits) +
                          " GUI cannot load and a " + Bits(kOtherBits) + " GUI does not look for there: remove that "
                          "key (cobalin_install uninstall, by its " + Bits(kOwnBits) + " build) and install the "
                          "module with msiexec /i cobalin.msi."))
      << m_output;
  // That module reads the service's values in its own view, where the service stand-in of this
  // architecture did not write them: said too.
  EXPECT_NE(std::string::npos, m_output.find("in the " + Bits(kOtherBits) + " registry view is missing (it is in the " +
                                             Bits(kOwnBits) + " view only"))
      << m_output;
  DeleteFileW(other.c_str());
}

TEST_F(Doctor, AClassKeyNamingAMissingFileIsAFinding) {
  const std::wstring missing = BinDir() + L"no-such-folder\\cobalin.dll";
  ASSERT_EQ(ERROR_SUCCESS, SetString(HKEY_CLASSES_ROOT, kServerKey, nullptr, missing, kOwnView));
  ExpectOneProblem({"names " + ToUtf8(missing) + ", which does not exist: reinstall the module"});
}

TEST_F(Doctor, AClassKeyNamingAFileThatIsNoModuleIsAFinding) {
  const std::wstring text = BinDir() + L"doctor-not-a-module.dll";
  {
    UniqueHandle file(CreateFileW(text.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(file.get(), "not a module", 12, &written, nullptr));
  }
  ASSERT_EQ(ERROR_SUCCESS, SetString(HKEY_CLASSES_ROOT, kServerKey, nullptr, text, kOwnView));
  ExpectOneProblem({"which is not a Windows module of x86 or x86-64 code"});
  DeleteFileW(text.c_str());
}

TEST_F(Doctor, AMissingOrWrongThreadingModelIsAFinding) {
  ASSERT_EQ(ERROR_SUCCESS, SetString(HKEY_CLASSES_ROOT, kServerKey, L"ThreadingModel", L"Apartment", kOwnView));
  ExpectOneProblem({"has the threading model \"Apartment\"", "set ThreadingModel to \"Free\""});
  ASSERT_EQ(ERROR_SUCCESS, DeleteValue(HKEY_CLASSES_ROOT, kServerKey, L"ThreadingModel", kOwnView));
  ExpectOneProblem({"has no threading model", "set ThreadingModel to \"Free\""});
}

TEST_F(Doctor, AMissingTypeLibraryRegistrationOrFileIsAFinding) {
  // Registered for a file that is gone.
  const std::wstring missing = BinDir() + L"no-such-folder\\cobalin.dll";
  ASSERT_EQ(ERROR_SUCCESS, SetString(HKEY_CLASSES_ROOT, TypeLibEntry(kOwnBits), nullptr, missing, kOwnView));
  ExpectOneProblem({"The module's type library is registered as " + ToUtf8(missing) + ", which does not exist"});

  ASSERT_EQ(ERROR_SUCCESS, DeleteTree(HKEY_CLASSES_ROOT, kTypeLibKey, kOwnView));
  ExpectOneProblem({"The module's type library is not registered for " + Bits(kOwnBits) + " programs"});
}

TEST_F(Doctor, AMissingServiceIsAFinding) {
  // The service's registry values stay: only the service itself is gone.
  UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  UniqueScHandle service(OpenServiceW(manager.get(), L"Tarnswell", DELETE));
  ASSERT_TRUE(service && DeleteService(service.get()));
  service.reset();
  ExpectOneProblem({"The service \"Tarnswell\" is not installed, so the module has no service to connect to"});
}

TEST_F(Doctor, ADisabledServiceIsAFinding) {
  ASSERT_TRUE(ChangeStartType(SERVICE_DISABLED));
  ExpectOneProblem({"The service \"Tarnswell\" is disabled, so the module cannot start it",
                    "sc config Tarnswell start= demand"});
}

TEST_F(Doctor, AServiceAccountTheModuleCannotAdmitIsAFindingUnlessThePipeIsOpenedToAll) {
  {
    UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    UniqueScHandle service(OpenServiceW(manager.get(), L"Tarnswell", SERVICE_CHANGE_CONFIG));
    ASSERT_TRUE(ChangeServiceConfigW(service.get(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, nullptr,
                                     nullptr, nullptr, nullptr, L"NoSuchAccount", L"", nullptr));
  }
  ExpectOneProblem({"runs as NoSuchAccount, which is no account known here", "sc config Tarnswell obj= LocalSystem"});

  ASSERT_EQ(ERROR_SUCCESS, OpenThePipeToAll(kOwnView));
  ASSERT_EQ(0u, RunDoctor()) << m_output;
  EXPECT_NE(std::string::npos, m_output.find("in the " + Bits(kOwnBits) + " registry view is set, so the module's "
                                             "receiving pipe admits every caller")) << m_output;
}

TEST_F(Doctor, ARunningServiceWithoutItsControlPipeIsAFinding) {
  // A real service that runs but serves no pipe, in place of the stand-in.
  ASSERT_TRUE(StartTheService(L"\"" + BinDir() + L"test_service.exe\" --no-pipe"));
  ExpectOneProblem({"The service \"Tarnswell\" runs, but its control pipe \\\\.\\pipe\\TarnswellControlPipe does not exist",
                    "restart the service"});
}

TEST_F(Doctor, TheBuildNumberMissingTooLongOrInTheOtherViewOnlyIsAFinding) {
  ASSERT_EQ(ERROR_SUCCESS, SetString(HKEY_LOCAL_MACHINE, kVersionKey, L"BuildNumber", std::wstring(300, L'7'), kOwnView));
  ExpectOneProblem({"is longer than the 260 characters the module reads"});

  ASSERT_EQ(ERROR_SUCCESS, DeleteValue(HKEY_LOCAL_MACHINE, kVersionKey, L"BuildNumber", kOwnView));
  ExpectOneProblem({"The value \"BuildNumber\" is missing from HKLM\\SOFTWARE\\Pellmark\\Tarnswell\\CurrentVersion in "
                    "the " + Bits(kOwnBits) + " registry view, so the module refuses to connect"});

  // Written by an installer of the other architecture only: the module does not read it.
  ASSERT_EQ(ERROR_SUCCESS, DeleteTree(HKEY_LOCAL_MACHINE, kVersionKey, kOwnView));
  ASSERT_EQ(ERROR_SUCCESS, SetString(HKEY_LOCAL_MACHINE, kVersionKey, L"BuildNumber", L"4.0.0.95", kOtherView));
  ExpectOneProblem({"is missing (it is in the " + Bits(kOtherBits) + " view only, which a " + Bits(kOwnBits) +
                        " module does not read)",
                    "reinstall the service"});
}

TEST_F(Doctor, AResourceModuleThatIsMissingOrCannotBeLoadedIsAFinding) {
  ASSERT_EQ(ERROR_SUCCESS, DeleteValue(HKEY_LOCAL_MACHINE, kResourceKey, L"ResourceDllName", kOwnView));
  ExpectOneProblem({"The service names no resource module", "Unable to load Resource DLL"});

  const std::wstring missing = BinDir() + L"no-such-folder\\tarnswell_res.dll";
  ASSERT_EQ(ERROR_SUCCESS, SetString(HKEY_LOCAL_MACHINE, kResourceKey, L"ResourceDllName", missing, kOwnView));
  ExpectOneProblem({"The resource module " + ToUtf8(missing) + " that the service names does not exist"});

  const std::wstring broken = WriteModuleHeader(BinDir() + L"doctor-res-other.dll", kOtherBits);
  ASSERT_EQ(ERROR_SUCCESS, SetString(HKEY_LOCAL_MACHINE, kResourceKey, L"ResourceDllName", broken, kOwnView));
  // A module of the other architecture would do (it is mapped as data); a broken one does not.
  ExpectOneProblem({"The resource module " + ToUtf8(broken) + " that the service names"});
  DeleteFileW(broken.c_str());

  // A module without the unit words: the installation program itself.
  const std::wstring noStrings = BinDir() + L"cobalin_install.exe";
  ASSERT_EQ(ERROR_SUCCESS, SetString(HKEY_LOCAL_MACHINE, kResourceKey, L"ResourceDllName", noStrings, kOwnView));
  ExpectOneProblem({"has no unit words (string 109)"});
}

}  // namespace
