#include "translation/drive_list.h"

#include <cstdio>

#include "translation/text_field.h"

void FillDriveListEntry(DriveListEntry& out, const ServiceDriveEntry& service, const DriveEntry& entry) noexcept {
  WCHAR path[51] = {};
  _snwprintf(path, 50, L"\\\\.\\%c:\\", static_cast<wchar_t>(service.cDrive));
  CopyTextField(out.szVolumePath, path);
  CopyTextField(out.szFileSystem, service.szFileSystem);
  out.dwThree = kDriveListEntryKind;
  CopyTextField(out.szGuiDriveClsid, entry.szGuiDriveClsid);
}
