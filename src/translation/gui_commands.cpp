// The GUI direction of TranslateCommand: what each command the GUI sets into one of the
// module's data objects becomes for the service, the drive table and the GUI. Everything
// here runs on the translation thread.

#include <cstring>

#include "dataio/dataio_client.h"
#include "handoff/commands.h"
#include "handoff/translation_message.h"
#include "pipes/pipe_out.h"
#include "pipes/remote_pipe.h"
#include "pipes/send_pipe.h"
#include "shared/trace.h"
#include "translation/comm_init_body.h"
#include "translation/drive_table.h"
#include "translation/engine_classes.h"
#include "translation/text_field.h"
#include "translation/translate_context.h"

namespace {

// Body offsets the GUI's commands are read at.
constexpr std::uint32_t kOperationLetterOffset = 8;  // ID_ANALYZE, ID_DEFRAG
constexpr std::uint32_t kAnalyzeSizeOffset = 0;      // ID_SETDISPDIMENSIONS
constexpr std::uint32_t kDefragSizeOffset = 4;
constexpr std::uint32_t kDisplaySizesLength = 8;
constexpr std::uint32_t kCommInitClsidUnits = sizeof(CommInitBody::szClsid) / sizeof(WCHAR);

const wchar_t* Name(const GuiCommand& c) noexcept { return GetCommandName4_5(c.command); }

bool IsAnalysing(const DriveEntry& entry) noexcept { return entry.dwAnalyzeOrDefrag == kOperationAnalyze; }

// The 4.0 command for the drive's operation: the analysis one while it analyses.
std::uint32_t ForOperation(const DriveEntry& entry, std::uint32_t analyze, std::uint32_t defrag) noexcept {
  return IsAnalysing(entry) ? analyze : defrag;
}

// ID_ANALYZE, ID_DEFRAG: the drive is the one the body names, not the message letter's.
void StartOperation(const GuiCommand& c, std::uint32_t operation, std::uint32_t serviceCommand) noexcept {
  if (!CheckBody(Name(c), c.body, c.bodySize, kOperationLetterOffset + sizeof(WCHAR))) return;
  const WCHAR letter = ReadUnit(c.body + kOperationLetterOffset);
  DriveEntry* entry = CheckDrive(Name(c), letter);
  if (entry == nullptr) return;
  StartNewOperation(*entry, letter, operation);
  SendWorkPacket(c.work, serviceCommand, letter);
}

void Stop(const GuiCommand& c) noexcept {
  DriveEntry* entry = CheckDrive(Name(c), c.letter);
  if (entry == nullptr) return;
  SendWorkPacket(c.work, ForOperation(*entry, TW4_0::ID_STOP_ANALYZE, TW4_0::ID_STOP_DEFRAG), c.letter);
  entry->dwEngineState = ENGINE_STOP_REQUESTED;  // whether or not the stop could be written
}

void Pause(const GuiCommand& c) noexcept {
  DriveEntry* entry = CheckDrive(Name(c), c.letter);
  if (entry == nullptr) return;
  SendWorkPacket(c.work, ForOperation(*entry, TW4_0::ID_PAUSE_ANALYZE, TW4_0::ID_PAUSE_DEFRAG), c.letter);
}

void Continue(const GuiCommand& c) noexcept {
  DriveEntry* entry = CheckDrive(Name(c), c.letter);
  if (entry == nullptr) return;
  SendWorkPacket(c.work, ForOperation(*entry, TW4_0::ID_CONTINUE_ANALYZE, TW4_0::ID_CONTINUE_DEFRAG), c.letter);
  const VolumePathBody path = MakeVolumePathBody(*entry);
  DataIoClientSetData(TW4_5::ID_CONTINUE, &path, sizeof(path), entry->pDataIoClient);
  const StatusBody status = MakeStatusBody(*entry);
  DataIoClientSetData(TW4_5::ID_STATUS, &status, sizeof(status), entry->pDataIoClient);
}

void Abort(const GuiCommand& c) noexcept {
  DriveEntry* entry = CheckDrive(Name(c), c.letter);
  if (entry == nullptr) return;
  // An engine that has ended needs no stop.
  if (entry->dwEngineState != ENGINE_ANALYZE_ENDED && entry->dwEngineState != ENGINE_DEFRAG_ENDED) {
    SendWorkPacket(c.work, ForOperation(*entry, TW4_0::ID_STOP_ANALYZE, TW4_0::ID_STOP_DEFRAG), c.letter);
  }
  const VolumePathBody path = MakeVolumePathBody(*entry);
  DataIoClientSetData(TW4_5::ID_ENGINE_TERMINATING, &path, sizeof(path), pdata4_5GUI);
}

void SetDisplayDimensions(const GuiCommand& c) noexcept {
  DriveEntry* entry = CheckDrive(Name(c), c.letter);
  if (entry == nullptr) return;
  if (!CheckBody(Name(c), c.body, c.bodySize, kDisplaySizesLength)) return;
  const std::uint32_t size = ReadU32(c.body + (IsAnalysing(*entry) ? kAnalyzeSizeOffset : kDefragSizeOffset));
  Trace(L"TW4_5::ID_SETDISPDIMENSIONS setting size %d\n", static_cast<int>(size));
  SendWorkPacket(c.work, TW4_0::ID_NEED_DISPLAY_DATA, c.letter, size);
}

void RequestDriveData(const GuiCommand& c) noexcept {
  // Until the service has sent its first drive data it cannot answer one.
  if (g_bDriveDataPending) {
    Trace(L"ID_REQUEST_DRIVE_DATA ignored\n");
    return;
  }
  SendWorkPacket(c.work, TW4_0::ID_DRIVE_DATA);
}

// ID_FENUI_EXIT: from an engine object it only releases the GUI's waiting call (the loop
// answers every exit once it is handled); from the pseudo-service object (letter 0) it ends the
// whole layer, and the loop ends after it. The exit is final: from its post no other post gets
// in. The service is told over the sending pipe the session has open; when that is closed (a
// failure closed it, or the session never reached a service), one connection to the control
// pipe is tried: a service that is there is told, and none is started only to be told to stop.
void FenuiExit(const GuiCommand& c) noexcept {
  if (c.letter != 0) return;
  WCHAR pipeName[ARRAYSIZE(g_szControlPipeName)];
  CopyControlPipeName(pipeName);
  if (IsPipeOutOpen() || (pipeName[0] != L'\0' && ConnectToServer(pipeName))) {
    SendWorkPacket(c.work, TW4_0::ID_GUI_STOP, 0, 0, 0, false);
    SendWorkPacket(c.work, ID_PIPE_DISCONNECTED, 0, 0, 0, false);
  }
  ExitTranslationLayer();
  Trace(L"TW4_5::ID_FENUI_EXIT Done\n");
}

// ID_INIT_SERVICE_COMM: connects the GUI's own data object, whose class the comm-init body
// names, and tells the service where this computer's receiving pipe is.
void InitServiceComm(const GuiCommand& c) noexcept {
  if (!CheckBody(Name(c), c.body, c.bodySize, kCommInitClsidOffset + sizeof(WCHAR))) return;
  const auto* text = reinterpret_cast<const WCHAR*>(c.body + kCommInitClsidOffset);
  std::size_t units = (c.bodySize - kCommInitClsidOffset) / sizeof(WCHAR);
  if (units > kCommInitClsidUnits) units = kCommInitClsidUnits;
  if (TextFieldLength(text, units) == units) {
    Trace(L"%s dropped: the class identifier text is not terminated inside the body\n", Name(c));
    return;
  }
  WCHAR clsidText[kCommInitClsidUnits];
  CopyTextField(clsidText, kCommInitClsidUnits, text, units);
  // A text that is no class identifier leaves CLSID_NULL, whose activation fails visibly.
  CLSID clsid = CLSID_NULL;
  CLSIDFromString(clsidText, &clsid);
  if (!InitializeDataIoClient(clsid, nullptr, &pdata4_5GUI)) Trace(L"TWService: Failed to Initialize Comm to UI\n");

  // The receiving pipe's name with its terminator; the name always fits the working packet.
  const std::uint32_t size = WriteGuiPipeNameBody(PipeBody(c.work));
  SendWorkPacket(c.work, TW4_0::ID_GUI_START, 0, 0, size, false);
  g_bGuiAnnounced = TRUE;
}

// A settings save: the GUI's body unchanged, behind `prefixSize` bytes of `prefix`. An empty
// body (a save that clears the setting) goes on as an empty one. A save that does not fit the
// working packet is refused whole: a cut list would be taken by the service for the whole one.
void Save(const GuiCommand& c, std::uint32_t serviceCommand, const BYTE* prefix, std::uint32_t prefixSize) noexcept {
  if (c.bodySize > kPipeMaxBody - prefixSize) {
    Trace(L"%s refused: %u bytes of settings and %u bytes in front of them do not fit a pipe packet of %u\n",
          Name(c), c.bodySize, prefixSize, kPipePacketRoom);
    return;
  }
  BYTE* body = PipeBody(c.work);
  if (prefixSize != 0) std::memcpy(body, prefix, prefixSize);
  if (c.bodySize != 0) std::memcpy(body + prefixSize, c.body, c.bodySize);
  SendWorkPacket(c.work, serviceCommand, 0, 0, prefixSize + c.bodySize);
}

void QueryState(const GuiCommand& c) noexcept {
  DriveEntry* entry = CheckDrive(Name(c), c.letter);
  if (entry == nullptr) return;
  if (entry->dwEngineState != ENGINE_ANALYZING && entry->dwEngineState != ENGINE_DEFRAGGING) return;
  const EngineInfoBody info = MakeEngineInfoBody(*entry);
  Trace(L"Setting  drive to %c dwAnalyzeOrDefrag state to %d\n", static_cast<wchar_t>(L'A' + GetDriveIndex(c.letter)),
        static_cast<int>(entry->dwAnalyzeOrDefrag));
  DataIoClientSetData(TW4_5::ID_ENGINE_START, &info, sizeof(info), entry->pDataIoClient);
}

void CurrentDrive(const GuiCommand& c) noexcept {
  if (!CheckBody(Name(c), c.body, c.bodySize, sizeof(WCHAR))) return;
  const WCHAR letter = ReadUnit(c.body);
  // The service is handed the current drive back at every drive data: only a drive will do.
  if (CheckDrive(Name(c), letter) == nullptr) return;
  g_cCurrentDrive = letter;
  SendWorkPacket(c.work, TW4_0::ID_CURRENT_DRIVE, letter);
}

}  // namespace

// Translation thread, from TranslateCommand. False for a number the GUI direction does not
// handle.
bool TranslateGuiCommand(const GuiCommand& c) noexcept {
  switch (c.command) {
    case TW4_5::ID_ANALYZE:
      Trace(L"TW4_5::ID_ANALYZE\n");
      StartOperation(c, kOperationAnalyze, TW4_0::ID_START_ANALYZE);
      return true;
    case TW4_5::ID_DEFRAG:
      Trace(L"TW4_5::ID_DEFRAG\n");
      StartOperation(c, kOperationDefrag, TW4_0::ID_START_DEFRAG);
      return true;
    case TW4_5::ID_STOP:
      Trace(L"TW4_5::ID_STOP\n");
      Stop(c);
      return true;
    case TW4_5::ID_PAUSE:
      Trace(L"TW4_5::ID_PAUSE\n");
      Pause(c);
      return true;
    case TW4_5::ID_CONTINUE:
      Trace(L"TW4_5::ID_CONTINUE\n");
      Continue(c);
      return true;
    case TW4_5::ID_ABORT:
      Trace(L"TW4_5::ID_ABORT\n");
      Abort(c);
      return true;
    case TW4_5::ID_INITIALIZE_DRIVE:
      Trace(L"TW4_5::ID_INITIALIZE_DRIVE\n");
      return true;
    case TW4_5::ID_SETDISPDIMENSIONS:
      Trace(L"TW4_5::ID_SETDISPDIMENSIONS\n");
      SetDisplayDimensions(c);
      return true;
    case TW4_5::ID_REQUEST_DRIVE_DATA:
      Trace(L"TW4_5::ID_REQUEST_DRIVE_DATA\n");
      RequestDriveData(c);
      return true;
    case TW4_5::ID_FENUI_EXIT:
      Trace(L"TW4_5::ID_FENUI_EXIT\n");
      FenuiExit(c);
      return true;
    case TW4_5::ID_INIT_SERVICE_COMM:
      Trace(L"TW4_5::ID_INIT_SERVICE_COMM\n");
      InitServiceComm(c);
      return true;
    case TW4_5::ID_REQUEST_SCHEDULE_DATA:
      Trace(L"TW4_5::ID_REQUEST_SCHEDULE_DATA\n");
      SendWorkPacket(c.work, TW4_0::ID_REQUEST_SCHEDULING_EX);
      return true;
    case TW4_5::ID_SAVE_SCHEDULING:
      Trace(L"TW4_5::ID_SAVE_SCHEDULING\n");
      Save(c, TW4_0::ID_SAVE_SCHEDULING_EX, nullptr, 0);
      return true;
    case TW4_5::ID_REQUEST_EXCLUDE_DATA:
      Trace(L"TW4_5::ID_REQUEST_EXCLUDE_DATA\n");
      SendWorkPacket(c.work, TW4_0::ID_REQUEST_EXCLUDE_DATA_EX);
      return true;
    case TW4_5::ID_SAVE_EXCLUDE_DATA:
      Trace(L"TW4_5::ID_SAVE_EXCLUDE_DATA\n");
      Save(c, TW4_0::ID_NEW_EXCLUDE_DATA, g_ExcludeDataPrefix, kExcludeDataPrefixSize);
      return true;
    case TW4_5::ID_REQUEST_LOG_DATA:
      Trace(L"TW4_5::ID_REQUEST_LOG_DATA\n");
      SendWorkPacket(c.work, TW4_0::ID_REQUEST_LOG_DATA);
      return true;
    case TW4_5::ID_SAVE_LOG_DATA:
      Trace(L"TW4_5::ID_SAVE_LOG_DATA\n");
      Save(c, TW4_0::ID_NEW_LOG_DATA, nullptr, 0);
      return true;
    case TW4_5::ID_REQUEST_PRIORITY_DATA:
      Trace(L"TW4_5::ID_REQUEST_PRIORITY_DATA\n");
      SendWorkPacket(c.work, TW4_0::ID_REQUEST_PRIORITY_DATA);
      return true;
    case TW4_5::ID_SAVE_PRIORITY_DATA:
      Trace(L"TW4_5::ID_SAVE_PRIORITY_DATA\n");
      Save(c, TW4_0::ID_NEW_PRIORITY_DATA, nullptr, 0);
      return true;
    case TW4_5::ID_START_SCHEDULING:
      Trace(L"TW4_5::ID_START_SCHEDULING\n");
      Save(c, TW4_0::ID_START_SCHEDULING, nullptr, 0);
      return true;
    case TW4_5::ID_INIT_PIPE_COM:
      // The probe and its answer; only its success is traced.
      AnswerPipeInitProbe();
      return true;
    case ID_FENUI_EXITINT:
      Trace(L"TW4_5::ID_FENUI_EXITINT\n");
      return true;
    case TW4_5::ID_QUERY_STATE:
      Trace(L"TW4_5::ID_QUERY_STATE\n");
      QueryState(c);
      return true;
    case TW4_5::ID_CURRENT_DRIVE:
      Trace(L"TW4_5::ID_CURRENT_DRIVE\n");
      CurrentDrive(c);
      return true;
    default:
      return false;
  }
}
