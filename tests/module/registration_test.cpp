// Self-registration of the type library, through Wine's regsvr32 and the module's exports.

#include <gtest/gtest.h>

#include <windows.h>
#include <oleauto.h>
#include <string>

#include "shared/module_identity.h"
#include "shared/owners.h"
#include "support/module_files.h"

namespace {

// Runs a command line to its end (at most 60 s); its exit code, or -1.
long RunProgram(std::wstring commandLine) {
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
    return -1;
  }
  UniqueHandle thread(process.hThread);
  UniqueHandle handle(process.hProcess);
  if (WaitForSingleObject(handle.get(), 60000) != WAIT_OBJECT_0) return -1;
  DWORD code = 0;
  GetExitCodeProcess(handle.get(), &code);
  return static_cast<long>(code);
}

using RegisterFunction = HRESULT(STDAPICALLTYPE*)();
RegisterFunction Export(HMODULE module, const char* name) {
  return reinterpret_cast<RegisterFunction>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

std::wstring TypeLibKey() { return L"TypeLib\\" + GuidText(LIBID_COBALINLib) + L"\\1.0"; }

#ifdef _WIN64
constexpr SYSKIND kNativeSyskind = SYS_WIN64;
#else
constexpr SYSKIND kNativeSyskind = SYS_WIN32;
#endif

}  // namespace

TEST(Registration, RegsvrRegistersAndUnregistersTheEmbeddedTypeLibrary) {
  const std::wstring module = BinFile(L"cobalin.dll");
  ASSERT_EQ(0, RunProgram(L"regsvr32.exe /s \"" + module + L"\""));

  ITypeLib* library = nullptr;
  ASSERT_EQ(S_OK, LoadRegTypeLib(LIBID_COBALINLib, 1, 0, 0x0409, &library));
  BSTR name = nullptr;
  BSTR doc = nullptr;
  ASSERT_EQ(S_OK, library->GetDocumentation(-1, &name, &doc, nullptr, nullptr));
  EXPECT_STREQ(L"COBALINLib", name);
  EXPECT_STREQ(L"Cobalin 1.0 Type Library", doc);
  SysFreeString(name);
  SysFreeString(doc);
  TLIBATTR* attributes = nullptr;
  ASSERT_EQ(S_OK, library->GetLibAttr(&attributes));
  EXPECT_TRUE(IsEqualGUID(LIBID_COBALINLib, attributes->guid));
  EXPECT_EQ(0x0409u, attributes->lcid);
  EXPECT_EQ(1, attributes->wMajorVerNum);
  EXPECT_EQ(0, attributes->wMinorVerNum);
  EXPECT_EQ(kNativeSyskind, attributes->syskind);
  library->ReleaseTLibAttr(attributes);
  EXPECT_EQ(0u, library->GetTypeInfoCount());
  library->Release();

  // Registered from the module file itself, its folder as help directory.
  BSTR path = nullptr;
  ASSERT_EQ(S_OK, QueryPathOfRegTypeLib(LIBID_COBALINLib, 1, 0, 0x0409, &path));
  EXPECT_EQ(0, lstrcmpiW(module.c_str(), path));
  SysFreeString(path);
  EXPECT_EQ(0, lstrcmpiW(BinDir().c_str(), ReadRegString(HKEY_CLASSES_ROOT, TypeLibKey() + L"\\HELPDIR", nullptr).c_str()));

  ASSERT_EQ(0, RunProgram(L"regsvr32.exe /s /u \"" + module + L"\""));
  library = nullptr;
  EXPECT_EQ(TYPE_E_LIBNOTREGISTERED, LoadRegTypeLib(LIBID_COBALINLib, 1, 0, 0x0409, &library));
  EXPECT_FALSE(RegKeyExists(HKEY_CLASSES_ROOT, TypeLibKey()));
}

TEST(Registration, AModuleWithoutTheResourceRegistersTheTlbBesideIt) {
  // bin\bare holds the same module built without resources, and cobalin.tlb.
  UniqueModule bare(LoadLibraryW(BinFile(L"bare\\cobalin.dll").c_str()));
  ASSERT_TRUE(bare);
  ITypeLib* direct = nullptr;
  ASSERT_NE(S_OK, LoadTypeLib(BinFile(L"bare\\cobalin.dll").c_str(), &direct));  // really no resource

  ASSERT_EQ(S_OK, Export(bare.get(), "DllRegisterServer")());
  BSTR path = nullptr;
  ASSERT_EQ(S_OK, QueryPathOfRegTypeLib(LIBID_COBALINLib, 1, 0, 0x0409, &path));
  EXPECT_EQ(0, lstrcmpiW(BinFile(L"bare\\cobalin.tlb").c_str(), path));
  SysFreeString(path);
  EXPECT_EQ(0, lstrcmpiW(BinFile(L"bare\\").c_str(),
                         ReadRegString(HKEY_CLASSES_ROOT, TypeLibKey() + L"\\HELPDIR", nullptr).c_str()));

  EXPECT_EQ(S_OK, Export(bare.get(), "DllUnregisterServer")());
  EXPECT_FALSE(RegKeyExists(HKEY_CLASSES_ROOT, TypeLibKey()));
}
