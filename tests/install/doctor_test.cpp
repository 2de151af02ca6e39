// The doctor (cobalin_install doctor) on a prefix of its own: each case starts from a healthy
// installation (the module and the service stand-in installed by cobalin_install, the x86-64
// build: module and keys in the 64-bit view), seeds one fault through the registry or the
// service control manager, and checks the doctor's sentence and its exit status.

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

LSTATUS SetString(HKEY root, const std::wstring& path, const wchar_t* name, const std::wstring& value, REGSAM view) {
  UniqueHKey key;
  LSTATUS status = RegCreateKeyExW(root, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE | view,
                                   nullptr, key.put(), nullptr);
  if (status != ERROR_SUCCESS) return status;
  return RegSetValueExW(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                        static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
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

// A file that starts like a 32-bit (i386) Windows module: what the doctor reads of a module.
std::wstring Write32BitModuleHeader(const std::wstring& path) {
  std::string bytes(0x200, '\0');
  bytes[0] = 'M';
  bytes[1] = 'Z';
  bytes[0x3C] = static_cast<char>(0x80);  // e_lfanew
  bytes.replace(0x80, 4, std::string("PE\0\0", 4));
  bytes[0x84] = static_cast<char>(0x4C);  // IMAGE_FILE_MACHINE_I386, little-endian
  bytes[0x85] = static_cast<char>(0x01);
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
    DeleteTree(HKEY_CLASSES_ROOT, kClassKey, KEY_WOW64_32KEY);
    DeleteTree(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Pellmark", KEY_WOW64_32KEY);
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
  static std::wstring ModulePath() { return ReadString(HKEY_CLASSES_ROOT, kServerKey, nullptr, KEY_WOW64_64KEY); }

  std::string m_output;
};

TEST_F(Doctor, AHealthyInstallationIsSaidSoWithStatusZeroAndIsLeftAsItWas) {
  const std::wstring modulePath = ModulePath();
  ASSERT_FALSE(modulePath.empty());
  ASSERT_EQ(0u, RunDoctor()) << m_output;
  EXPECT_NE(std::string::npos, m_output.find("OK: The module " + ToUtf8(modulePath) +
                                             " (64-bit) is registered in the 64-bit registry view.")) << m_output;
  EXPECT_NE(std::string::npos, m_output.find("OK: The service \"Tarnswell\" is installed and stopped")) << m_output;
  EXPECT_NE(std::string::npos, m_output.find("OK: This account is a member of the Administrators group.")) << m_output;
  EXPECT_NE(std::string::npos, m_output.find("OK: The service \"Tarnswell\" runs as LocalSystem, which the module "
                                             "admits to its receiving pipe.")) << m_output;
  EXPECT_EQ(std::string::npos, m_output.find("PROBLEM")) << m_output;
  EXPECT_NE(std::string::npos, m_output.find("Healthy: the module can work on this machine.")) << m_output;
  // Read-only: the stopped service was not started, nothing was written to the other view.
  EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), ServiceState());
  EXPECT_EQ(L"", ReadString(HKEY_CLASSES_ROOT, kServerKey, nullptr, KEY_WOW64_32KEY));

  // Running, with its control pipe: still healthy, and the pipe is only looked at.
  ASSERT_TRUE(StartTheService(L""));
  ASSERT_EQ(0u, RunDoctor()) << m_output;
  EXPECT_NE(std::string::npos, m_output.find("OK: The service \"Tarnswell\" is running and its control pipe answers.")) << m_output;
  EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), ServiceState());
}

TEST_F(Doctor, OptionsAreRefusedSoThatTheDoctorNeverChangesAnything) {
  EXPECT_EQ(2u, RunProgram(L"cobalin_install.exe", L"doctor --fix", 30000, &m_output)) << m_output;
  EXPECT_NE(std::string::npos, m_output.find("doctor takes no options.")) << m_output;
}

TEST_F(Doctor, NoInstallationAtAllGivesOneSentenceEachForTheModuleAndTheService) {
  ASSERT_EQ(0u, RunProgram(L"cobalin_install.exe", L"uninstall", kInstallMs));
  ASSERT_EQ(1u, RunDoctor()) << m_output;
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
  // A 64-bit key naming a 32-bit module: what a 64-bit installation program writes for the
  // shipped module.
  const std::wstring module32 = Write32BitModuleHeader(BinDir() + L"doctor-module32.dll");
  ASSERT_FALSE(module32.empty());
  ASSERT_EQ(ERROR_SUCCESS, SetString(HKEY_CLASSES_ROOT, kServerKey, nullptr, module32, KEY_WOW64_64KEY));
  ASSERT_EQ(1u, RunDoctor()) << m_output;
  EXPECT_NE(std::string::npos,
            m_output.find("PROBLEM: The module's class key in the 64-bit registry view names " + ToUtf8(module32) +
                          ", a 32-bit module, which a 64-bit GUI cannot load and a 32-bit GUI does not look for "
                          "there: remove that key (cobalin_install uninstall, by its 64-bit build) and install the "
                          "module with msiexec /i cobalin.msi."))
      << m_output;
  // A 32-bit module reads the service's values in the 32-bit view, where the 64-bit service
  // stand-in did not write them: said too.
  EXPECT_NE(std::string::npos, m_output.find("in the 32-bit registry view is missing (it is in the 64-bit view only"))
      << m_output;
  DeleteFileW(module32.c_str());
}

TEST_F(Doctor, AClassKeyNamingAMissingFileIsAFinding) {
  const std::wstring missing = BinDir() + L"no-such-folder\\cobalin.dll";
  ASSERT_EQ(ERROR_SUCCESS, SetString(HKEY_CLASSES_ROOT, kServerKey, nullptr, missing, KEY_WOW64_64KEY));
  ExpectOneProblem({"names " + ToUtf8(missing) + ", which does not exist: reinstall the module"});
}

TEST_F(Doctor, AClassKeyNamingAFileThatIsNoModuleIsAFinding) {
  const std::wstring text = BinDir() + L"doctor-not-a-module.dll";
  {
    UniqueHandle file(CreateFileW(text.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(file.get(), "not a module", 12, &written, nullptr));
  }
  ASSERT_EQ(ERROR_SUCCESS, SetString(HKEY_CLASSES_ROOT, kServerKey, nullptr, text, KEY_WOW64_64KEY));
  ExpectOneProblem({"which is not a Windows module of x86 or x86-64 code"});
  DeleteFileW(text.c_str());
}

TEST_F(Doctor, AMissingOrWrongThreadingModelIsAFinding) {
  ASSERT_EQ(ERROR_SUCCESS, SetString(HKEY_CLASSES_ROOT, kServerKey, L"ThreadingModel", L"Apartment", KEY_WOW64_64KEY));
  ExpectOneProblem({"has the threading model \"Apartment\"", "set ThreadingModel to \"Free\""});
  ASSERT_EQ(ERROR_SUCCESS, DeleteValue(HKEY_CLASSES_ROOT, kServerKey, L"ThreadingModel", KEY_WOW64_64KEY));
  ExpectOneProblem({"has no threading model", "set ThreadingModel to \"Free\""});
}

TEST_F(Doctor, AMissingTypeLibraryRegistrationOrFileIsAFinding) {
  // Registered for a file that is gone.
  const std::wstring missing = BinDir() + L"no-such-folder\\cobalin.dll";
  ASSERT_EQ(ERROR_SUCCESS, SetString(HKEY_CLASSES_ROOT, std::wstring(kTypeLibKey) + L"\\1.0\\409\\win64", nullptr,
                                     missing, KEY_WOW64_64KEY));
  ExpectOneProblem({"The module's type library is registered as " + ToUtf8(missing) + ", which does not exist"});

  ASSERT_EQ(ERROR_SUCCESS, DeleteTree(HKEY_CLASSES_ROOT, kTypeLibKey, KEY_WOW64_64KEY));
  ExpectOneProblem({"The module's type library is not registered for 64-bit programs"});
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

  UniqueHKey key;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CLASSES_ROOT, kClassKey, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, key.put()));
  const DWORD on = 1;
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key.get(), L"OpenReceivingPipe", 0, REG_DWORD,
                                          reinterpret_cast<const BYTE*>(&on), sizeof(on)));
  ASSERT_EQ(0u, RunDoctor()) << m_output;
  EXPECT_NE(std::string::npos, m_output.find("in the 64-bit registry view is set, so the module's receiving pipe "
                                             "admits every caller")) << m_output;
}

TEST_F(Doctor, ARunningServiceWithoutItsControlPipeIsAFinding) {
  // A real service that runs but serves no pipe, in place of the stand-in.
  ASSERT_TRUE(StartTheService(L"\"" + BinDir() + L"test_service.exe\" --no-pipe"));
  ExpectOneProblem({"The service \"Tarnswell\" runs, but its control pipe \\\\.\\pipe\\TarnswellControlPipe does not exist",
                    "restart the service"});
}

TEST_F(Doctor, TheBuildNumberMissingTooLongOrInTheOtherViewOnlyIsAFinding) {
  ASSERT_EQ(ERROR_SUCCESS, SetString(HKEY_LOCAL_MACHINE, kVersionKey, L"BuildNumber", std::wstring(300, L'7'), KEY_WOW64_64KEY));
  ExpectOneProblem({"is longer than the 260 characters the module reads"});

  ASSERT_EQ(ERROR_SUCCESS, DeleteValue(HKEY_LOCAL_MACHINE, kVersionKey, L"BuildNumber", KEY_WOW64_64KEY));
  ExpectOneProblem({"The value \"BuildNumber\" is missing from HKLM\\SOFTWARE\\Pellmark\\Tarnswell\\CurrentVersion in "
                    "the 64-bit registry view, so the module refuses to connect"});

  // Written by a 32-bit installer only: a 64-bit module does not read it.
  ASSERT_EQ(ERROR_SUCCESS, DeleteTree(HKEY_LOCAL_MACHINE, kVersionKey, KEY_WOW64_64KEY));
  ASSERT_EQ(ERROR_SUCCESS, SetString(HKEY_LOCAL_MACHINE, kVersionKey, L"BuildNumber", L"4.0.0.95", KEY_WOW64_32KEY));
  ExpectOneProblem({"is missing (it is in the 32-bit view only, which a 64-bit module does not read)",
                    "reinstall the service"});
}

TEST_F(Doctor, AResourceModuleThatIsMissingOrCannotBeLoadedIsAFinding) {
  ASSERT_EQ(ERROR_SUCCESS, DeleteValue(HKEY_LOCAL_MACHINE, kResourceKey, L"ResourceDllName", KEY_WOW64_64KEY));
  ExpectOneProblem({"The service names no resource module", "Unable to load Resource DLL"});

  const std::wstring missing = BinDir() + L"no-such-folder\\tarnswell_res.dll";
  ASSERT_EQ(ERROR_SUCCESS, SetString(HKEY_LOCAL_MACHINE, kResourceKey, L"ResourceDllName", missing, KEY_WOW64_64KEY));
  ExpectOneProblem({"The resource module " + ToUtf8(missing) + " that the service names does not exist"});

  const std::wstring module32 = Write32BitModuleHeader(BinDir() + L"doctor-res32.dll");
  ASSERT_EQ(ERROR_SUCCESS, SetString(HKEY_LOCAL_MACHINE, kResourceKey, L"ResourceDllName", module32, KEY_WOW64_64KEY));
  // A module of the other architecture would do (it is mapped as data); a broken one does not.
  ExpectOneProblem({"The resource module " + ToUtf8(module32) + " that the service names"});
  DeleteFileW(module32.c_str());

  // A module without the unit words: the installation program itself.
  const std::wstring noStrings = BinDir() + L"cobalin_install.exe";
  ASSERT_EQ(ERROR_SUCCESS, SetString(HKEY_LOCAL_MACHINE, kResourceKey, L"ResourceDllName", noStrings, KEY_WOW64_64KEY));
  ExpectOneProblem({"has no unit words (string 109)"});
}

}  // namespace
