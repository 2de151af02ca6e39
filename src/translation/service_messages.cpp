// The service direction of TranslateCommand: what each message the service writes into the
// receiving pipe becomes for the GUI, the drive table and, for the drive data, the service.
// The volume reports are in volume_data.cpp, the fragmented-file report in its hand-off.
// Everything here runs on the translation thread.

#include <cstring>

#include "dataio/dataio_client.h"
#include "pipes/remote_pipe.h"
#include "shared/block.h"
#include "shared/message_box.h"
#include "shared/trace.h"
#include "handoff/commands.h"
#include "translation/drive_list.h"
#include "translation/drive_table.h"
#include "translation/engine_classes.h"
#include "translation/fragged_handoff.h"
#include "translation/percent_done.h"
#include "translation/text_field.h"
#include "translation/translate_context.h"

namespace {

// The service's exclusion data: 8 bytes the GUI is not given, then the fixed part that goes
// back in front of every list the GUI saves.
constexpr std::uint32_t kExcludeDataSkip = 8;
constexpr std::uint32_t kExcludeDataMinSize = kExcludeDataSkip + kExcludeDataPrefixSize;  // 7704

const wchar_t* Name(const ServiceMessage& m) noexcept { return GetCommandName4_0(m.command); }

bool IsAnalysing(const DriveEntry& entry) noexcept { return entry.dwAnalyzeOrDefrag == kOperationAnalyze; }

// The drive of a per-drive message, or nullptr (traced) when its letter names none.
DriveEntry* Drive(const ServiceMessage& m) noexcept { return CheckDrive(Name(m), m.packet->cDrive); }

// ID_DRIVE_DATA: refreshes the file system names, makes the GUI drive class identities,
// walks the service over every drive with an engine back to the GUI's current drive, and
// sends the GUI its drive list.
void DriveData(const ServiceMessage& m) noexcept {
  if (!CheckBody(Name(m), m.body, m.bodySize, sizeof(ServiceDriveData))) return;
  g_bDriveDataPending = FALSE;
  const auto& data = *reinterpret_cast<const ServiceDriveData*>(m.body);

  DriveDataBody list;
  ZeroMemory(&list, sizeof(list));
  for (std::size_t i = 0; i < kDriveCount; ++i) CopyTextField(g_DriveTable[i].szFileSystem, data.drives[i].szFileSystem);
  for (std::size_t i = 0; i < kDriveCount; ++i) {
    MakeGuiDriveClsid(g_DriveTable[i]);
    FillDriveListEntry(list.drives[i], data.drives[i], g_DriveTable[i]);
  }

  SendWorkPacket(m.work, TW4_0::ID_GUI_START_COMM);

  bool walked = false;
  for (std::size_t i = 0; i < kDriveCount; ++i) {
    const auto letter = static_cast<wchar_t>(L'A' + i);
    const std::uint32_t code = data.drives[i].dwEngineCode;
    Trace(L"Drive  %c has an engine state of %d\n", letter, static_cast<int>(code));
    if (!HasEngine(code)) continue;
    SendWorkPacket(m.work, TW4_0::ID_CURRENT_DRIVE, letter);
    Trace(L"\n");
    Trace(L"Setting current drive to %c in loop\n", letter);
    walked = true;
  }
  if (walked) {
    SendWorkPacket(m.work, TW4_0::ID_CURRENT_DRIVE, g_cCurrentDrive);
    Trace(L"\n");
    Trace(L"Resetting current drive to %c \n", static_cast<wchar_t>(g_cCurrentDrive));
  }

  DataIoClientSetData(TW4_5::ID_RECEIVE_DRIVE_DATA, &list, sizeof(list), pdata4_5GUI);
}

// ID_NEW_EXCLUDE_DATA_EX: the GUI gets the machine name in front of the exclusion data; the
// fixed part is kept for the GUI's next save.
void ExcludeData(const ServiceMessage& m) noexcept {
  if (!CheckBody(Name(m), m.body, m.bodySize, kExcludeDataMinSize)) return;
  WCHAR machineName[ARRAYSIZE(g_szMachineName)];
  CopyMachineName(machineName);
  const std::size_t nameUnits = TextFieldLength(machineName, ARRAYSIZE(machineName));  // terminated by the copy
  const auto nameBytes = static_cast<std::uint32_t>((nameUnits + 1) * sizeof(WCHAR));
  const std::uint32_t dataBytes = m.bodySize - kExcludeDataSkip;
  const std::uint32_t size = nameBytes + dataBytes;

  UniqueBlock block(static_cast<BYTE*>(AllocBlock(size)));
  if (block) {
    std::memcpy(block.get(), machineName, nameUnits * sizeof(WCHAR));
    std::memset(block.get() + nameUnits * sizeof(WCHAR), 0, sizeof(WCHAR));
    std::memcpy(block.get() + nameBytes, m.body + kExcludeDataSkip, dataBytes);
    DataIoClientSetData(TW4_5::ID_RECEIVE_EXCLUDE_DATA, block.get(), size, pdata4_5GUI);
  } else {
    TraceNoMemory(Name(m), size);
  }
  // The service's fixed part stands whether or not the GUI could be told.
  std::memcpy(g_ExcludeDataPrefix, m.body + kExcludeDataSkip, kExcludeDataPrefixSize);
}

// ID_DISPLAY_MESSAGE: the service's text in a box, then to the GUI as it came. The box runs
// on a thread of its own while this thread waits for it, so the queue keeps every message.
void DisplayMessage(const ServiceMessage& m) noexcept {
  // The text shown ends at its NUL or at the body's end, whichever comes first.
  const std::size_t units = m.bodySize / sizeof(WCHAR);
  const auto bytes = static_cast<std::uint32_t>((units + 1) * sizeof(WCHAR));
  UniqueBlock text(static_cast<BYTE*>(AllocBlock(bytes)));
  if (!text) {
    TraceNoMemory(Name(m), bytes);
    return;
  }
  auto* chars = reinterpret_cast<WCHAR*>(text.get());
  CopyTextField(chars, units + 1, reinterpret_cast<const WCHAR*>(m.body), units);
  ShowMessageBox(chars, L"", MB_OK);
  DataIoClientSetData(TW4_5::ID_DISPLAY_MESSAGEBOX, m.body, m.bodySize, pdata4_5GUI);
}

void EngineStart(const ServiceMessage& m) noexcept {
  DriveEntry* entry = Drive(m);
  if (entry == nullptr) return;
  entry->dwEngineState = IsAnalysing(*entry) ? ENGINE_ANALYZING : ENGINE_DEFRAGGING;
  InitializeDataIoClient(entry->clsidGuiDrive, nullptr, &entry->pDataIoClient);  // no-op when connected
  SetPseudoEngineDrive(m.packet->cDrive);
  const EngineInfoBody info = MakeEngineInfoBody(*entry);
  DataIoClientSetData(TW4_5::ID_ENGINE_START, &info, sizeof(info), entry->pDataIoClient);
}

void EnginePause(const ServiceMessage& m) noexcept {
  DriveEntry* entry = Drive(m);
  if (entry == nullptr) return;
  const VolumePathBody path = MakeVolumePathBody(*entry);
  DataIoClientSetData(TW4_5::ID_PAUSE, &path, sizeof(path), entry->pDataIoClient);
  const StatusBody status = MakeStatusBody(*entry);
  DataIoClientSetData(TW4_5::ID_STATUS, &status, sizeof(status), entry->pDataIoClient);
}

void EngineExit(const ServiceMessage& m) noexcept {
  DriveEntry* entry = Drive(m);
  if (entry == nullptr) return;
  if (!entry->bEndScanSent) {
    const EngineInfoBody info = MakeEngineInfoBody(*entry);
    DataIoClientSetData(TW4_5::ID_END_SCAN, &info, sizeof(info), entry->pDataIoClient);
    entry->bEndScanSent = TRUE;  // also when there was no one to tell
  }
  entry->dwEngineState = IsAnalysing(*entry) ? ENGINE_ANALYZE_ENDED : ENGINE_DEFRAG_ENDED;
  const StatusBody status = MakeStatusBody(*entry, 100);
  DataIoClientSetData(TW4_5::ID_STATUS, &status, sizeof(status), entry->pDataIoClient);
  SendEmptyFraggedReportIfNothingFound(*entry);
}

void EnginePercentDone(const ServiceMessage& m) noexcept {
  DriveEntry* entry = Drive(m);
  if (entry == nullptr) return;
  const std::uint32_t param = m.packet->dwParam;
  Trace(L"ID_ENGINE_PERCENT_DONE percent done = %d pass = %d\n", static_cast<int>(param),
        static_cast<int>(entry->dwPass));
  if (!AdvancePercentDone(*entry, param)) return;
  Trace(L"\n\nSENDING PERCENT DONE %d  new pass %d\n\n", static_cast<int>(entry->dwPercentDone),
        static_cast<int>(entry->dwPass));
  const StatusBody status = MakeStatusBody(*entry);
  DataIoClientSetData(TW4_5::ID_STATUS, &status, sizeof(status), entry->pDataIoClient);
}

// The hand-off writes the message's trace line itself; a message without a drive never gets
// there and is traced here.
void FraggedFileList(const ServiceMessage& m) noexcept {
  if (FindDriveEntry(m.packet->cDrive) == nullptr) Trace(L"TW4_0::ID_FRAGGED_FILE_LIST\n");
  DriveEntry* entry = Drive(m);
  if (entry == nullptr) return;
  HandleFraggedFileList(m.packet, *entry);
}

// Settings the GUI is given as they came.
void PassSettings(const ServiceMessage& m, std::uint32_t guiCommand) noexcept {
  DataIoClientSetData(guiCommand, m.body, m.bodySize, pdata4_5GUI);
}

}  // namespace

// Translation thread, from TranslateCommand. False for a number the service direction does
// not handle.
bool TranslateServiceMessage(const ServiceMessage& m) noexcept {
  switch (m.command) {
    case TW4_0::ID_INITIALIZE_CONTROLLER:
      Trace(L"TW4_0::ID_INITIALIZE_CONTROLLER \n");
      return true;
    case TW4_0::ID_DRIVE_DATA:
      Trace(L"TW4_0::ID_DRIVE_DATA \n");
      DriveData(m);
      return true;
    case TW4_0::ID_NEW_LOG_DATA:
      Trace(L"TW4_0::ID_NEW_LOG_DATA\n");
      PassSettings(m, TW4_5::ID_RECEIVE_LOG_DATA);
      return true;
    case TW4_0::ID_NEW_PRIORITY_DATA:
      Trace(L"TW4_0::ID_NEW_PRIORITY_DATA\n");
      PassSettings(m, TW4_5::ID_RECEIVE_PRIORITY_DATA);
      return true;
    case TW4_0::ID_DISPLAY_MESSAGE:
      Trace(L"TW4_0::ID_DISPLAY_MESSAGE\n");
      DisplayMessage(m);
      return true;
    case TW4_0::ID_NEW_SCHEDULING_DATA_EX:
      Trace(L"TW4_0::ID_NEW_SCHEDULING_DATA_EX\n");
      PassSettings(m, TW4_5::ID_RECEIVE_SCHEDULE_DATA);
      return true;
    case TW4_0::ID_NEW_EXCLUDE_DATA_EX:
      Trace(L"TW4_0::ID_NEW_EXCLUDE_DATA_EX\n");
      ExcludeData(m);
      return true;
    case TW4_0::ID_ENGINE_START:
      Trace(L"TW4_0::ID_ENGINE_START\n");
      EngineStart(m);
      return true;
    case TW4_0::ID_ENGINE_PAUSE:
      Trace(L"TW4_0::ID_ENGINE_PAUSE\n");
      EnginePause(m);
      return true;
    case TW4_0::ID_ENGINE_CONTINUE:
      Trace(L"TW4_0::ID_ENGINE_CONTINUE\n");
      return true;
    case TW4_0::ID_ENGINE_EXIT:
      Trace(L"TW4_0::ID_ENGINE_EXIT\n");
      EngineExit(m);
      return true;
    case TW4_0::ID_ENGINE_PERCENT_DONE:
      Trace(L"TW4_0::ID_ENGINE_PERCENT_DONE\n");
      EnginePercentDone(m);
      return true;
    case TW4_0::ID_GUI_STOP:
      Trace(L"TW4_0::ID_GUI_STOP\n");
      return true;
    case TW4_0::ID_FRAGGED_FILE_LIST:
      FraggedFileList(m);
      return true;
    case TW4_0::ID_VOL_DATA:
      TranslateVolumeData(m);
      return true;
    case TW4_0::ID_NEW_DISPLAY_DATA:
      TranslateDisplayData(m);
      return true;
    case TW4_0::ID_REPAINT:
      Trace(L"TW4_0::ID_REPAINT\n");
      return true;
    default:
      return false;
  }
}
