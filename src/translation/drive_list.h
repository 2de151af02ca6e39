#pragma once
// The drives as the service reports them (the body of its ID_DRIVE_DATA) and the drive list
// the GUI is sent in return (the body of ID_RECEIVE_DRIVE_DATA). The GUI's list entries are
// named DriveListEntry, apart from the drive table's DriveEntry.

#include <windows.h>
#include <cstddef>
#include <cstdint>

#include "translation/drive_table.h"

#pragma pack(push, 1)
// One drive of the service's drive data, 80 bytes.
struct ServiceDriveEntry {
  WCHAR szFileSystem[16];       //  0: file system name
  std::uint32_t dwEngineCode;   // 32: 0 and 10 mean no engine
  BYTE reserved1[8];            // 36: not read
  WCHAR cDrive;                 // 44: the drive letter
  BYTE reserved2[34];           // 46: not read
};
// The service's drive data: 32 bytes not read, then drives A to Z.
struct ServiceDriveData {
  BYTE reserved[32];
  ServiceDriveEntry drives[kDriveCount];
};

// One drive of the GUI's drive list, 376 bytes.
struct DriveListEntry {
  WCHAR szVolumePath[51];       //   0: "\\.\C:\" from the service's letter
  WCHAR szFileSystem[20];       // 102: the service's file system name
  WCHAR szEmpty[53];            // 142: empty text
  std::uint32_t dwZero[4];      // 248: zeros
  std::uint32_t dwThree;        // 264: always 3
  WCHAR szGuiDriveClsid[54];    // 268: class the GUI serves this drive's data object under
};
// The GUI's drive list: drives A to Z, 9776 bytes.
struct DriveDataBody {
  DriveListEntry drives[kDriveCount];
};
#pragma pack(pop)

static_assert(sizeof(ServiceDriveEntry) == 80);
static_assert(offsetof(ServiceDriveEntry, szFileSystem) == 0);
static_assert(offsetof(ServiceDriveEntry, dwEngineCode) == 32);
static_assert(offsetof(ServiceDriveEntry, reserved1) == 36);
static_assert(offsetof(ServiceDriveEntry, cDrive) == 44);
static_assert(offsetof(ServiceDriveEntry, reserved2) == 46);
static_assert(sizeof(ServiceDriveData) == 2112);
static_assert(offsetof(ServiceDriveData, drives) == 32);

static_assert(sizeof(DriveListEntry) == 376);
static_assert(offsetof(DriveListEntry, szVolumePath) == 0);
static_assert(offsetof(DriveListEntry, szFileSystem) == 102);
static_assert(offsetof(DriveListEntry, szEmpty) == 142);
static_assert(offsetof(DriveListEntry, dwZero) == 248);
static_assert(offsetof(DriveListEntry, dwThree) == 264);
static_assert(offsetof(DriveListEntry, szGuiDriveClsid) == 268);
static_assert(sizeof(DriveDataBody) == 9776);

constexpr std::uint32_t kDriveListEntryKind = 3;

// True for an engine code that marks a drive with an engine.
[[nodiscard]] constexpr bool HasEngine(std::uint32_t engineCode) noexcept {
  return engineCode != 0 && engineCode != 10;
}

// Fills a zeroed drive-list entry from the service's drive and the drive table's entry.
void FillDriveListEntry(DriveListEntry& out, const ServiceDriveEntry& service, const DriveEntry& entry) noexcept;
