// The resource module, the path expansion and the two text formats of the report.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "fragreport/fragged_file.h"
#include "fragreport/resource_dll.h"
#include "message_box_counter.h"
#include "support/resource_dll_registration.h"

namespace {

constexpr const wchar_t* kModuleName = L"tarnswell_res.dll";

bool ResourceModuleMapped() { return GetModuleHandleW(kModuleName) != nullptr; }

std::wstring SizeText(HMODULE module, LONGLONG size, std::size_t room = kSizeTextRoom) {
  WCHAR text[kSizeTextRoom] = L"untouched";
  FormatSizeText(module, size, text, room);
  return text;
}

void ExpectUnableToLoad(const MessageBoxCounter& boxes) {
  EXPECT_EQ(L"Unable to load Resource DLL", boxes.text);
  EXPECT_EQ(L"Fenwold", boxes.caption);
  EXPECT_EQ(static_cast<UINT>(MB_ICONERROR | MB_OK), boxes.type);
}

}  // namespace

TEST(FormatSizeText, UnitStepsWithWordsFromTheResourceModule) {
  ResourceDllRegistration registration;
  MessageBoxCounter boxes;
  CResourceDll dll;
  ASSERT_NE(nullptr, dll.GetHandle());
  EXPECT_EQ(0, boxes.count());

  EXPECT_EQ(L"0 bytes", SizeText(dll.GetHandle(), 0));
  EXPECT_EQ(L"1,023 bytes", SizeText(dll.GetHandle(), 1023));
  EXPECT_EQ(L"1 KB", SizeText(dll.GetHandle(), 1024));
  EXPECT_EQ(L"99,999 KB", SizeText(dll.GetHandle(), 102399999));
  EXPECT_EQ(L"97 MB", SizeText(dll.GetHandle(), 102400000));
  EXPECT_EQ(L"97 GB", SizeText(dll.GetHandle(), 104857600000LL));
  EXPECT_EQ(L"99,999 MB", SizeText(dll.GetHandle(), 104857599999LL));
  // Just below 100,000 units of 1,073,741,824 bytes.
  EXPECT_EQ(L"99,999 GB", SizeText(dll.GetHandle(), 107374181400000LL));

  // A text longer than its room is cut, never written past it.
  WCHAR small[8];
  for (auto& unit : small) unit = L'#';
  FormatSizeText(dll.GetHandle(), 102399999, small, 6);
  EXPECT_EQ(std::wstring(L"99,99"), small);
  EXPECT_EQ(L'#', small[6]);
  EXPECT_EQ(L'#', small[7]);
}

TEST(FormatSizeText, NoUnitWordLeavesTheDestination) {
  // Without a module the host program is searched, and it has no string 109.
  EXPECT_EQ(L"untouched", SizeText(nullptr, 5));
  EXPECT_EQ(L"untouched", SizeText(GetModuleHandleW(nullptr), 1 << 20));
}

TEST(FormatNumberText, GroupsOfThreeAndTheRoomRule) {
  WCHAR text[40] = L"old";
  EXPECT_EQ(text, FormatNumberText(1000, text, 6));
  EXPECT_EQ(std::wstring(L"1,000"), text);
  EXPECT_EQ(text, FormatNumberText(1000, text, 5));  // five units do not fit in room 5
  EXPECT_EQ(std::wstring(L""), text);

  wcscpy(text, L"old");
  EXPECT_EQ(nullptr, FormatNumberText(1000, text, 0));
  EXPECT_EQ(std::wstring(L"old"), text);
  EXPECT_EQ(nullptr, FormatNumberText(1000, nullptr, 6));

  const std::pair<LONGLONG, const wchar_t*> cases[] = {
      {0, L"0"},
      {999, L"999"},
      {1234567, L"1,234,567"},
      {100000, L"100,000"},
      {-1234, L"-1,234"},
      {-123, L"-123"},
      {9223372036854775807LL, L"9,223,372,036,854,775,807"},
      {-9223372036854775807LL - 1, L"-9,223,372,036,854,775,808"},
  };
  for (const auto& [value, expected] : cases) {
    EXPECT_EQ(std::wstring(expected), FormatNumberText(value, text, 40)) << value;
  }
}

TEST(ExpandLeadingEnvironmentVariable, OnlyALeadingVariableOnce) {
  WCHAR systemRoot[MAX_PATH] = {};
  ASSERT_LT(0u, GetEnvironmentVariableW(L"SystemRoot", systemRoot, MAX_PATH));

  WCHAR path[kResourcePathRoom] = L"%SystemRoot%\\system32\\x.dll";
  EXPECT_TRUE(ExpandLeadingEnvironmentVariable(path));
  EXPECT_EQ(std::wstring(systemRoot) + L"\\system32\\x.dll", path);

  wcscpy(path, L"%SystemRoot%%SystemRoot%");  // the second stays as written
  EXPECT_TRUE(ExpandLeadingEnvironmentVariable(path));
  EXPECT_EQ(std::wstring(systemRoot) + L"%SystemRoot%", path);

  for (const wchar_t* unchanged : {L"C:\\a\\%SystemRoot%\\b.dll", L"%SystemRoot", L"plain.dll", L""}) {
    wcscpy(path, unchanged);
    EXPECT_TRUE(ExpandLeadingEnvironmentVariable(path));
    EXPECT_EQ(std::wstring(unchanged), path);
  }

  wcscpy(path, L"%COBALIN_NOT_DEFINED%\\x.dll");
  EXPECT_FALSE(ExpandLeadingEnvironmentVariable(path));
  EXPECT_EQ(std::wstring(L"%COBALIN_NOT_DEFINED%\\x.dll"), path);

  // A result that would not fit 259 characters fails and leaves the path.
  ASSERT_TRUE(SetEnvironmentVariableW(L"COBALIN_LONG", std::wstring(200, L'x').c_str()));
  const std::wstring longRest = L"%COBALIN_LONG%" + std::wstring(70, L'y');
  wcscpy(path, longRest.c_str());
  EXPECT_FALSE(ExpandLeadingEnvironmentVariable(path));
  EXPECT_EQ(longRest, path);
  const std::wstring fits = L"%COBALIN_LONG%" + std::wstring(59, L'y');
  wcscpy(path, fits.c_str());
  EXPECT_TRUE(ExpandLeadingEnvironmentVariable(path));
  EXPECT_EQ(259u, wcslen(path));
}

TEST(CResourceDll, RegistryPathWithALeadingVariable) {
  ASSERT_TRUE(SetEnvironmentVariableW(L"COBALIN_RES_DIR", ResourceDllRegistration::ProgramFolder().c_str()));
  ResourceDllRegistration registration(L"%COBALIN_RES_DIR%\\tarnswell_res.dll");
  MessageBoxCounter boxes;
  {
    CResourceDll dll;
    EXPECT_NE(nullptr, dll.GetHandle());
    EXPECT_EQ(GetModuleHandleW(kModuleName), dll.GetHandle());
  }
  EXPECT_EQ(0, boxes.count());

  registration.Set(L"%COBALIN_UNDEFINED_DIR%\\tarnswell_res.dll");
  {
    CResourceDll dll;
    EXPECT_EQ(nullptr, dll.GetHandle());
    EXPECT_FALSE(ResourceModuleMapped());
  }
  EXPECT_EQ(1, boxes.count());
  ExpectUnableToLoad(boxes);
}

TEST(CResourceDll, LoadedOnceForLiveEntriesAndAnewAfterTheLast) {
  ResourceDllRegistration registration;
  MessageBoxCounter boxes;
  ASSERT_FALSE(ResourceModuleMapped());
  {
    auto first = std::make_unique<CFraggedFile>(L"a.txt", 2048, 2);
    auto second = std::make_unique<CFraggedFile>(L"b.txt", 5, 3);
    EXPECT_EQ(2, g_cResourceDllRef);
    ASSERT_NE(nullptr, g_hResourceDll);
    EXPECT_EQ(GetModuleHandleW(kModuleName), g_hResourceDll);
    EXPECT_EQ(std::wstring(L"2 KB"), first->GetFileSizeText());
    EXPECT_EQ(std::wstring(L"5 bytes"), second->GetFileSizeText());
    EXPECT_EQ(std::wstring(L"3"), second->GetFragmentsText());
    first.reset();
    EXPECT_TRUE(ResourceModuleMapped());
    EXPECT_EQ(1, g_cResourceDllRef);
  }
  // One load, one free: had it been loaded twice, it would still be mapped.
  EXPECT_EQ(0, g_cResourceDllRef);
  EXPECT_EQ(nullptr, g_hResourceDll);
  EXPECT_FALSE(ResourceModuleMapped());

  CFraggedFile third(L"c.txt", 1024, 4);
  EXPECT_NE(nullptr, g_hResourceDll);
  EXPECT_TRUE(ResourceModuleMapped());
  EXPECT_EQ(std::wstring(L"1 KB"), third.GetFileSizeText());
  EXPECT_EQ(0, boxes.count());
}

TEST(CResourceDll, FailedLoadNotRetriedWhileReferencesRemain) {
  ResourceDllRegistration registration;
  registration.Remove();
  MessageBoxCounter boxes;
  {
    auto first = std::make_unique<CFraggedFile>(L"a.txt", 2048, 2);
    EXPECT_EQ(1, boxes.count());
    ExpectUnableToLoad(boxes);
    EXPECT_EQ(nullptr, g_hResourceDll);
    EXPECT_EQ(std::wstring(L""), first->GetFileSizeText());  // no unit word: empty, entry kept
    EXPECT_EQ(std::wstring(L"2"), first->GetFragmentsText());

    registration.Set(ResourceDllRegistration::DefaultPath());
    CFraggedFile second(L"b.txt", 2048, 2);
    EXPECT_EQ(nullptr, g_hResourceDll);
    EXPECT_FALSE(ResourceModuleMapped());
    EXPECT_EQ(1, boxes.count());
    EXPECT_EQ(2, g_cResourceDllRef);
  }
  CResourceDll again;  // every reference had ended: loading is tried anew
  EXPECT_NE(nullptr, again.GetHandle());
  EXPECT_EQ(1, boxes.count());
}

TEST(CResourceDll, MissingModuleFileFailsWithTheBox) {
  ResourceDllRegistration registration(ResourceDllRegistration::ProgramFolder() + L"\\no_such_module.dll");
  MessageBoxCounter boxes;
  {
    CResourceDll dll;
    EXPECT_EQ(nullptr, dll.GetHandle());
  }
  {
    CResourceDll dll;  // a new first reference shows the box anew
  }
  EXPECT_EQ(2, boxes.count());
  ExpectUnableToLoad(boxes);
}
