// The checks before a connection: administrator rights and the service product's build
// number, read from this prefix's registry (values written here and removed after).

#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>

#include "dataio/caller_checks.h"
#include "shared/owners.h"

namespace {

constexpr const wchar_t* kVersionKey = L"SOFTWARE\\Pellmark\\Tarnswell\\CurrentVersion";
constexpr const wchar_t* kTestKey = L"SOFTWARE\\Pellmark\\CobalinCallerChecksTest";

std::wstring ComputerName() {
  WCHAR name[MAX_COMPUTERNAME_LENGTH + 1];
  DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
  EXPECT_TRUE(GetComputerNameW(name, &size));
  return name;
}

class CallerChecks : public ::testing::Test {
 protected:
  void TearDown() override {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kTestKey);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Pellmark\\Tarnswell");
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Pellmark");  // only when nothing else is in it
  }
  // Writes `bytes` bytes of `data` as a value of `type` (no terminator added).
  static void Write(const wchar_t* key, const wchar_t* value, DWORD type, const void* data, DWORD bytes) {
    UniqueHKey opened;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                                             opened.put(), nullptr));
    if (value != nullptr) {
      ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(opened.get(), value, 0, type, static_cast<const BYTE*>(data), bytes));
    }
  }
  static void WriteBuild(const wchar_t* text) {
    Write(kVersionKey, L"BuildNumber", REG_SZ, text, static_cast<DWORD>((wcslen(text) + 1) * sizeof(WCHAR)));
  }
  static LONG Build(const std::wstring& machine, LONG* number) {
    *number = -1;
    return GetServiceBuildNumber(machine.c_str(), number);
  }
};

TEST_F(CallerChecks, AdministratorMatchesTheTokensMembership) {
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  UniqueSid admins;
  ASSERT_TRUE(AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0,
                                       0, admins.put()));
  BOOL member = FALSE;
  ASSERT_TRUE(CheckTokenMembership(nullptr, admins.get(), &member));
  EXPECT_EQ(member, IsAdministrator());
}

TEST_F(CallerChecks, BuildNumberIsTheNumberAfterTheLastDot) {
  LONG number = 0;
  WriteBuild(L"4.0.0.95");
  EXPECT_EQ(TRUE, Build(ComputerName(), &number));
  EXPECT_EQ(95, number);
  EXPECT_EQ(TRUE, GetServiceBuildNumber(ComputerName().c_str(), nullptr));

  WriteBuild(L"4095");  // no '.' at all, even all digits
  EXPECT_EQ(TRUE, Build(ComputerName(), &number));
  EXPECT_EQ(0, number);
  WriteBuild(L"4.0.");
  EXPECT_EQ(TRUE, Build(ComputerName(), &number));
  EXPECT_EQ(0, number);
  WriteBuild(L"1.99999999999999999999");  // far beyond 32 bits: held at the largest number
  EXPECT_EQ(TRUE, Build(ComputerName(), &number));
  EXPECT_EQ(LONG_MAX, number);
}

TEST_F(CallerChecks, LocalNameInOtherCaseReadsLocallyAnotherMachineFails) {
  LONG number = 0;
  WriteBuild(L"4.0.0.95");
  std::wstring lower = ComputerName();
  CharLowerW(lower.data());
  EXPECT_EQ(TRUE, Build(lower, &number));
  EXPECT_EQ(95, number);
  EXPECT_EQ(FALSE, Build(L"OTHERBOX", &number));
  EXPECT_EQ(-1, number);
}

TEST_F(CallerChecks, MissingValueOrKeyFails) {
  LONG number = 0;
  EXPECT_EQ(FALSE, Build(ComputerName(), &number));  // no key
  Write(kVersionKey, nullptr, 0, nullptr, 0);
  EXPECT_EQ(FALSE, Build(ComputerName(), &number));  // key without the value
  EXPECT_EQ(-1, number);
}

// Reads `value` from the test key locally or through the registry connection, into a buffer of
// `room` bytes inside a larger block filled with 0xCD, and returns the block.
std::vector<BYTE> Read(bool remote, const wchar_t* value, DWORD room, LONG* status, DWORD* returned) {
  std::vector<BYTE> block(room + 16, 0xCD);
  UniqueHKey key;
  *returned = room;
  auto* buffer = reinterpret_cast<WCHAR*>(block.data());
  *status = remote ? QueryRemoteRegistryString(ComputerName().c_str(), key.put(), kTestKey, value, buffer, returned)
                   : QueryRegistryString(key.put(), kTestKey, value, buffer, returned);
  return block;
}

TEST_F(CallerChecks, TextEndsInsideTheReturnedBytesWithoutOverrun) {
  Write(kTestKey, L"Ended", REG_SZ, L"abc", 8);
  Write(kTestKey, L"Unended", REG_BINARY, L"abc", 6);  // REG_SZ reads could gain a terminator
  Write(kTestKey, L"Empty", REG_SZ, L"", 0);
  Write(kTestKey, L"Odd", REG_BINARY, "abcde", 5);
  Write(kTestKey, L"OneByte", REG_BINARY, "a", 1);
  const DWORD dword = 0x00410042;
  Write(kTestKey, L"Number", REG_DWORD, &dword, 4);

  for (bool remote : {false, true}) {
    SCOPED_TRACE(remote ? "remote" : "local");
    LONG status = 0;
    DWORD returned = 0;
    auto block = Read(remote, L"Ended", 520, &status, &returned);
    EXPECT_EQ(ERROR_SUCCESS, status);
    EXPECT_EQ(8u, returned);
    EXPECT_STREQ(L"abc", reinterpret_cast<const WCHAR*>(block.data()));

    block = Read(remote, L"Unended", 520, &status, &returned);
    EXPECT_EQ(6u, returned);
    EXPECT_STREQ(L"ab", reinterpret_cast<const WCHAR*>(block.data()));  // loses its last character

    block = Read(remote, L"Empty", 520, &status, &returned);
    EXPECT_EQ(ERROR_SUCCESS, status);
    EXPECT_EQ(0, block[0] | block[1]);

    block = Read(remote, L"OneByte", 2, &status, &returned);
    EXPECT_EQ(1u, returned);
    EXPECT_EQ(0, block[0] | block[1]);
    EXPECT_EQ(0xCD, block[2]);

    // Five bytes into a five-byte buffer: code unit 1 (bytes 2-3) ends the text, byte 4 stays.
    block = Read(remote, L"Odd", 5, &status, &returned);
    EXPECT_EQ(ERROR_SUCCESS, status);
    EXPECT_EQ(5u, returned);
    EXPECT_EQ(std::vector<BYTE>({'a', 'b', 0, 0, 'e', 0xCD}), std::vector<BYTE>(block.begin(), block.begin() + 6));

    block = Read(remote, L"Number", 520, &status, &returned);
    EXPECT_EQ(4u, returned);
    EXPECT_STREQ(L"B", reinterpret_cast<const WCHAR*>(block.data()));
  }
}

TEST_F(CallerChecks, RemoteReadOfAnotherMachineFailsWithoutAKey) {
  HKEY key = nullptr;
  WCHAR buffer[16];
  DWORD size = sizeof(buffer);
  EXPECT_NE(ERROR_SUCCESS, QueryRemoteRegistryString(L"OTHERBOX", &key, kVersionKey, L"BuildNumber", buffer, &size));
  EXPECT_EQ(nullptr, key);
}

}  // namespace
