// The resource module, the path expansion and the two text formats of the report.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "fragreport/fragged_file.h"
#include "shared/message_box.h"
#include "support/resource_dll_registration.h"

namespace {

LONG g_boxes = 0;
int CountBox(const wchar_t* text, const wchar_t* caption, UINT type, void*) {
  EXPECT_EQ(std::wstring(L"Unable to load Resource DLL"), text);
  EXPECT_EQ(std::wstring(L"Fenwold"), caption);
  EXPECT_EQ(static_cast<UINT>(MB_ICONERROR | MB_OK), type);
  InterlockedIncrement(&g_boxes);
  return IDOK;
}

bool Mapped() { return g_hResourceDll != nullptr; }

std::wstring SizeText(HMODULE module, LONGLONG size, std::size_t room = kSizeTextRoom) {
  WCHAR text[kSizeTextRoom] = L"untouched";
  FormatSizeText(module, size, text, room);
  return text;
}

}  // namespace

TEST(ResourceText, SizeAndNumberTexts) {
  ResourceDllRegistration registration;
  CResourceDll dll;
  const HMODULE module = dll.GetHandle();
  ASSERT_NE(nullptr, module);
  EXPECT_EQ(L"0 bytes", SizeText(module, 0));
  EXPECT_EQ(L"1,023 bytes", SizeText(module, 1023));
  EXPECT_EQ(L"1 KB", SizeText(module, 1024));
  EXPECT_EQ(L"99,999 KB", SizeText(module, 102399999));
  EXPECT_EQ(L"97 MB", SizeText(module, 102400000));
  EXPECT_EQ(L"97 GB", SizeText(module, 104857600000LL));
  EXPECT_EQ(L"99,99", SizeText(module, 102399999, 6));  // cut to its room
  EXPECT_EQ(L"untouched", SizeText(nullptr, 5));         // the host program has no unit words

  WCHAR text[40] = L"old";
  EXPECT_EQ(nullptr, FormatNumberText(1000, text, 0));
  EXPECT_EQ(nullptr, FormatNumberText(1000, nullptr, 6));
  EXPECT_EQ(L"old", std::wstring(text));
  EXPECT_EQ(L"1,000", std::wstring(FormatNumberText(1000, text, 6)));
  EXPECT_EQ(L"", std::wstring(FormatNumberText(1000, text, 5)));
  EXPECT_EQ(L"999", std::wstring(FormatNumberText(999, text, 40)));
  EXPECT_EQ(L"1,234,567", std::wstring(FormatNumberText(1234567, text, 40)));
  EXPECT_EQ(L"-123", std::wstring(FormatNumberText(-123, text, 40)));
  EXPECT_EQ(L"-9,223,372,036,854,775,808", std::wstring(FormatNumberText(-9223372036854775807LL - 1, text, 40)));
}

TEST(ResourceText, OnlyALeadingEnvironmentVariableIsExpanded) {
  WCHAR root[MAX_PATH] = {};
  ASSERT_LT(0u, GetEnvironmentVariableW(L"SystemRoot", root, MAX_PATH));
  WCHAR path[kResourcePathRoom] = L"%SystemRoot%\\a%SystemRoot%";
  EXPECT_TRUE(ExpandLeadingEnvironmentVariable(path));
  EXPECT_EQ(std::wstring(root) + L"\\a%SystemRoot%", path);
  for (const wchar_t* same : {L"C:\\a\\%SystemRoot%\\b.dll", L"%SystemRoot", L"x.dll"}) {
    wcscpy(path, same);
    EXPECT_TRUE(ExpandLeadingEnvironmentVariable(path));
    EXPECT_EQ(std::wstring(same), path);
  }
  wcscpy(path, L"%COBALIN_UNDEFINED%\\x.dll");
  EXPECT_FALSE(ExpandLeadingEnvironmentVariable(path));
  EXPECT_EQ(std::wstring(L"%COBALIN_UNDEFINED%\\x.dll"), path);
  ASSERT_TRUE(SetEnvironmentVariableW(L"COBALIN_LONG", std::wstring(200, L'x').c_str()));
  wcscpy(path, (L"%COBALIN_LONG%" + std::wstring(60, L'y')).c_str());  // 260 would not fit
  EXPECT_FALSE(ExpandLeadingEnvironmentVariable(path));

  // The registry path goes through the same expansion; an undefined variable fails the load.
  SetMessageBoxHook(CountBox, nullptr);
  ASSERT_TRUE(SetEnvironmentVariableW(L"COBALIN_RES_DIR", ResourceDllRegistration::ProgramFolder().c_str()));
  ResourceDllRegistration registration(L"%COBALIN_RES_DIR%\\tarnswell_res.dll");
  EXPECT_NE(nullptr, CResourceDll().GetHandle());
  registration.Set(L"%COBALIN_UNDEFINED%\\tarnswell_res.dll");
  EXPECT_EQ(nullptr, CResourceDll().GetHandle());
  EXPECT_EQ(1, g_boxes);
}

TEST(ResourceText, ModuleLoadedOnceForLiveEntriesAndAnewAfterTheLast) {
  ResourceDllRegistration registration;
  SetMessageBoxHook(CountBox, nullptr);
  auto first = std::make_unique<CFraggedFile>(L"a", 2048, 2);
  auto second = std::make_unique<CFraggedFile>(L"b", 5, 3);
  EXPECT_EQ(2, g_cResourceDllRef);
  EXPECT_TRUE(Mapped());
  // Mapped for its strings only: as a module whose code could run, it is not there.
  EXPECT_EQ(nullptr, GetModuleHandleW(L"tarnswell_res.dll"));
  EXPECT_EQ(L"2 KB", std::wstring(first->GetFileSizeText()));
  EXPECT_EQ(L"3", std::wstring(second->GetFragmentsText()));
  first.reset();
  EXPECT_TRUE(Mapped());
  second.reset();
  EXPECT_FALSE(Mapped());  // one load, one free
  EXPECT_EQ(0, g_cResourceDllRef);
  CFraggedFile third(L"c", 1024, 4);
  EXPECT_TRUE(Mapped());
  EXPECT_EQ(0, g_boxes);
}

TEST(ResourceText, FailedLoadNotRetriedWhileReferencesRemain) {
  ResourceDllRegistration registration;
  registration.Remove();
  SetMessageBoxHook(CountBox, nullptr);
  {
    CFraggedFile first(L"a", 2048, 2);
    EXPECT_EQ(1, g_boxes);
    EXPECT_EQ(L"", std::wstring(first.GetFileSizeText()));  // no unit word: empty, entry kept
    EXPECT_EQ(L"2", std::wstring(first.GetFragmentsText()));
    registration.Set(ResourceDllRegistration::DefaultPath());
    CFraggedFile second(L"b", 2048, 2);
    EXPECT_FALSE(Mapped());
    EXPECT_EQ(1, g_boxes);
  }
  CFraggedFile again(L"c", 2048, 2);
  EXPECT_EQ(L"2 KB", std::wstring(again.GetFileSizeText()));
  EXPECT_EQ(1, g_boxes);
}
