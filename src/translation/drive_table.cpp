#include "translation/drive_table.h"

#include <cwchar>

#include "shared/owners.h"
#include "translation/text_field.h"

DriveEntry g_DriveTable[kDriveCount];
IDataObject* pdata4_5GUI = nullptr;
BOOL g_bDriveDataPending = TRUE;
BOOL g_bGuiAnnounced = FALSE;
WCHAR g_cCurrentDrive = L'C';
BYTE g_ExcludeDataPrefix[kExcludeDataPrefixSize];

namespace {


// Only a-z are folded: no other unit names an entry either way.
WCHAR ToUpperLetter(WCHAR letter) noexcept {
  return (letter >= L'a' && letter <= L'z') ? static_cast<WCHAR>(letter - L'a' + L'A') : letter;
}

}  // namespace

std::uint8_t GetDriveIndex(WCHAR letter) noexcept {
  return static_cast<std::uint8_t>(ToUpperLetter(letter) - L'A');
}

DriveEntry* FindDriveEntry(WCHAR letter) noexcept {
  // The 8-bit index alone would let units such as U+0141 wrap into range.
  const WCHAR upper = ToUpperLetter(letter);
  if (upper < L'A' || upper > L'Z') return nullptr;
  return &g_DriveTable[GetDriveIndex(letter)];
}

void ZeroDriveTable() noexcept {
  ZeroMemory(g_DriveTable, sizeof(g_DriveTable));
  g_bDriveDataPending = TRUE;
  g_bGuiAnnounced = FALSE;
}

void StartNewOperation(DriveEntry& entry, WCHAR letter, std::uint32_t analyzeOrDefrag) noexcept {
  entry.bBeginScanSent = FALSE;
  entry.bEndScanSent = FALSE;
  entry.dwEngineState = ENGINE_IDLE;
  entry.dwPercentDone = 0;
  entry.dwPass = 0;
  ZeroMemory(&entry.VolumeStatistics, sizeof(entry.VolumeStatistics));
  entry.dwAnalyzeOrDefrag = analyzeOrDefrag;
  ZeroMemory(entry.szVolumePath, sizeof(entry.szVolumePath));
  _snwprintf(entry.szVolumePath, 50, L"\\\\.\\%c:\\", letter);
}

void MakeGuiDriveClsid(DriveEntry& entry) noexcept {
  if (entry.szGuiDriveClsid[0] != L'\0') return;
  if (FAILED(CoCreateGuid(&entry.clsidGuiDrive))) return;
  UniqueCoTaskString text;
  if (FAILED(StringFromCLSID(entry.clsidGuiDrive, text.put())) || !text) return;
  CopyTerminatedText(entry.szGuiDriveClsid, text.get());
}

VolumePathBody MakeVolumePathBody(const DriveEntry& entry) noexcept {
  VolumePathBody body{};
  CopyTextField(body.szVolumePath, entry.szVolumePath);
  return body;
}

StatusBody MakeStatusBody(const DriveEntry& entry, std::uint32_t percentDone) noexcept {
  StatusBody body{};
  CopyTextField(body.szVolumePath, entry.szVolumePath);
  body.dwPercentDone = percentDone;
  body.dwEngineState = entry.dwEngineState;
  return body;
}

EngineInfoBody MakeEngineInfoBody(const DriveEntry& entry) noexcept {
  EngineInfoBody body{};
  CopyTextField(body.szVolumePath, entry.szVolumePath);
  CopyTextField(body.szFileSystem, entry.szFileSystem);
  body.dwAnalyzeOrDefrag = entry.dwAnalyzeOrDefrag;
  return body;
}
