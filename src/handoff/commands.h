#pragma once
// The two command vocabularies. Commands from and to the GUI are numbered in the 4.5 set,
// commands to and from the service in the 4.0 set; both start at 8100 and overlap, so a number
// means what the set of its direction says. Every command number in the module is one of these
// constants.

#include <cstdint>

// Numbers outside both sets.
constexpr std::uint32_t ID_FENUI_EXITINT = 8626;      // sent by the GUI, only traced
constexpr std::uint32_t ID_PIPE_CONNECTED = 10001;    // pipe connection codes
constexpr std::uint32_t ID_PIPE_DISCONNECTED = 10002;

namespace TW4_5 {
constexpr std::uint32_t ID_ANALYZE = 8100;
constexpr std::uint32_t ID_DEFRAG = 8101;
constexpr std::uint32_t ID_STOP = 8102;
constexpr std::uint32_t ID_PAUSE = 8103;
constexpr std::uint32_t ID_CONTINUE = 8104;
constexpr std::uint32_t ID_ABORT = 8105;
constexpr std::uint32_t ID_INITIALIZE_DRIVE = 8106;
constexpr std::uint32_t ID_SETDISPDIMENSIONS = 8107;
constexpr std::uint32_t ID_INIT_VOLUME_COMM = 8108;
constexpr std::uint32_t ID_INIT_ENGINE_COMM = 8109;
constexpr std::uint32_t ID_RECEIVE_ENGINE_STATE = 8110;
constexpr std::uint32_t ID_GUIUP_INIT_VOLUME_COMM = 8111;

constexpr std::uint32_t ID_BEGIN_SCAN = 8200;
constexpr std::uint32_t ID_DISP_DATA = 8201;
constexpr std::uint32_t ID_END_SCAN = 8202;
constexpr std::uint32_t ID_STATUS = 8203;
constexpr std::uint32_t ID_TERMINATING = 8204;
constexpr std::uint32_t ID_ENGINE_START = 8205;
constexpr std::uint32_t ID_FRAGGED_DATA = 8206;
constexpr std::uint32_t ID_BOOTTIME_DATA = 8207;
constexpr std::uint32_t ID_ERROR_DATA = 8208;

constexpr std::uint32_t ID_PING = 8300;

constexpr std::uint32_t ID_INITIALIZE = 8400;
constexpr std::uint32_t ID_SENDGUIDATA = 8401;
constexpr std::uint32_t ID_SEND_END_SCAN = 8402;

constexpr std::uint32_t ID_REPORT = 8500;
constexpr std::uint32_t ID_REFRESH = 8501;
constexpr std::uint32_t ID_HELP_CONTENTS = 8502;
constexpr std::uint32_t ID_ABORTANDSTART = 8503;
constexpr std::uint32_t ID_SCHEDULE = 8504;
constexpr std::uint32_t ID_EXCLUDE = 8505;
constexpr std::uint32_t ID_PRIORITY = 8506;
constexpr std::uint32_t ID_LOGGING = 8507;
constexpr std::uint32_t ID_NETSCHED = 8508;
constexpr std::uint32_t ID_BOOTTIME = 8509;
constexpr std::uint32_t ID_CONNECT = 8510;
constexpr std::uint32_t ID_ORIENTATION = 8511;
constexpr std::uint32_t ID_ANALYSIS_SUMMARY_CHANGED = 8512;
constexpr std::uint32_t ID_DEFRAG_SUMMARY_CHANGED = 8513;
constexpr std::uint32_t ID_ORIENT_OPTION_CHANGED = 8514;
constexpr std::uint32_t ID_ABOUT = 8515;

constexpr std::uint32_t ID_RECEIVE_DRIVE_DATA = 8600;
constexpr std::uint32_t ID_REQUEST_DRIVE_DATA = 8601;
constexpr std::uint32_t ID_FENUI_EXIT = 8602;
constexpr std::uint32_t ID_INIT_SERVICE_COMM = 8603;

constexpr std::uint32_t ID_FAILED_ANALYZE = 8606;
constexpr std::uint32_t ID_FAILED_DEFRAG = 8607;
constexpr std::uint32_t ID_DEFRAG_UNWRITEABLE = 8608;
constexpr std::uint32_t ID_REQUEST_SCHEDULE_DATA = 8609;
constexpr std::uint32_t ID_RECEIVE_SCHEDULE_DATA = 8610;
constexpr std::uint32_t ID_SAVE_SCHEDULING = 8611;
constexpr std::uint32_t ID_REQUEST_EXCLUDE_DATA = 8612;
constexpr std::uint32_t ID_RECEIVE_EXCLUDE_DATA = 8613;
constexpr std::uint32_t ID_SAVE_EXCLUDE_DATA = 8614;
constexpr std::uint32_t ID_REQUEST_LOG_DATA = 8615;
constexpr std::uint32_t ID_RECEIVE_LOG_DATA = 8616;
constexpr std::uint32_t ID_SAVE_LOG_DATA = 8617;
constexpr std::uint32_t ID_REQUEST_PRIORITY_DATA = 8618;
constexpr std::uint32_t ID_RECEIVE_PRIORITY_DATA = 8619;
constexpr std::uint32_t ID_SAVE_PRIORITY_DATA = 8620;
constexpr std::uint32_t ID_SCHED_DEFRAG = 8621;
constexpr std::uint32_t ID_START_SCHEDULING = 8622;
constexpr std::uint32_t ID_NET_SCHEDULE = 8623;
constexpr std::uint32_t ID_DISPLAY_MESSAGEBOX = 8624;
constexpr std::uint32_t ID_INIT_PIPE_COM = 8625;

constexpr std::uint32_t ID_QUERY_STATE = 8701;
constexpr std::uint32_t ID_UPDATE_EXCLUSION = 8702;
constexpr std::uint32_t ID_ENGINE_TERMINATING = 8703;
constexpr std::uint32_t ID_ENGINE_STOPPED = 8704;
constexpr std::uint32_t ID_ENGINE_PAUSED = 8705;
constexpr std::uint32_t ID_ENGINE_CONTINUE = 8706;
constexpr std::uint32_t ID_ENGINE_STARTED = 8707;
constexpr std::uint32_t ID_ENGINE_FAILED_START = 8708;
constexpr std::uint32_t ID_NEED_ADMIN_PRIVS = 8709;

constexpr std::uint32_t ID_CURRENT_DRIVE = 9107;
}  // namespace TW4_5

namespace TW4_0 {
constexpr std::uint32_t ID_INITIALIZE = 8100;
constexpr std::uint32_t ID_INITIALIZE_CONTROLLER = 8101;
constexpr std::uint32_t ID_EXIT = 8102;
constexpr std::uint32_t ID_DISP_ROUTINE = 8103;
constexpr std::uint32_t ID_DRIVE_DATA = 8104;
constexpr std::uint32_t ID_REQUEST_LOG_DATA = 8105;
constexpr std::uint32_t ID_NEW_LOG_DATA = 8106;
constexpr std::uint32_t ID_CURRENT_DRIVE = 8107;
constexpr std::uint32_t ID_REQUEST_PRIORITY_DATA = 8108;
constexpr std::uint32_t ID_NEW_PRIORITY_DATA = 8109;
constexpr std::uint32_t ID_REQUEST_SCHEDULING = 8110;
constexpr std::uint32_t ID_NEW_SCHEDULING_DATA = 8111;
constexpr std::uint32_t ID_START_SCHEDULING = 8112;
constexpr std::uint32_t ID_SAVE_SCHEDULING = 8113;
constexpr std::uint32_t ID_REQUEST_CONTROL_FILE = 8114;
constexpr std::uint32_t ID_SAVE_CONTROL_FILE = 8115;
constexpr std::uint32_t ID_REQUEST_EXCLUDE_DATA = 8116;
constexpr std::uint32_t ID_NEW_EXCLUDE_DATA = 8117;
constexpr std::uint32_t ID_DISPLAY_MESSAGE = 8118;
constexpr std::uint32_t ID_REQUEST_SCHEDULING_EX = 8119;
constexpr std::uint32_t ID_NEW_SCHEDULING_DATA_EX = 8120;
constexpr std::uint32_t ID_SAVE_SCHEDULING_EX = 8121;
constexpr std::uint32_t ID_REQUEST_EXCLUDE_DATA_EX = 8122;
constexpr std::uint32_t ID_NEW_EXCLUDE_DATA_EX = 8123;

constexpr std::uint32_t ID_START_ANALYZE = 8200;
constexpr std::uint32_t ID_START_DEFRAG = 8201;
constexpr std::uint32_t ID_STOP_ANALYZE = 8202;
constexpr std::uint32_t ID_STOP_DEFRAG = 8203;
constexpr std::uint32_t ID_PAUSE_ANALYZE = 8204;
constexpr std::uint32_t ID_PAUSE_DEFRAG = 8205;
constexpr std::uint32_t ID_CONTINUE_ANALYZE = 8206;
constexpr std::uint32_t ID_CONTINUE_DEFRAG = 8207;
constexpr std::uint32_t ID_START_DEFRAG_SCHEDULED = 8208;
constexpr std::uint32_t ID_STOP_DEFRAG_SCHEDULED = 8209;
constexpr std::uint32_t ID_ENGINE_PAUSE_ALL = 8210;
constexpr std::uint32_t ID_ENGINE_CONTINUE_ALL = 8211;

constexpr std::uint32_t ID_ENGINE_START = 8300;
constexpr std::uint32_t ID_ENGINE_PAUSE = 8301;
constexpr std::uint32_t ID_ENGINE_CONTINUE = 8302;
constexpr std::uint32_t ID_ENGINE_OK_TO_EXIT = 8303;
constexpr std::uint32_t ID_ENGINE_EXIT = 8304;
constexpr std::uint32_t ID_ENGINE_EXCLUDE = 8305;
constexpr std::uint32_t ID_ENGINE_DEBUG = 8306;
constexpr std::uint32_t ID_ENGINE_BEEP = 8307;
constexpr std::uint32_t ID_ENGINE_DEFINE_ARRAY = 8308;
constexpr std::uint32_t ID_ENGINE_UPDATE_ARRAY = 8309;
constexpr std::uint32_t ID_ENGINE_PERCENT_DONE = 8310;
constexpr std::uint32_t ID_ENGINE_ERROR = 8311;
constexpr std::uint32_t ID_ENGINE_GO = 8312;
constexpr std::uint32_t ID_ENGINE_ABORT = 8313;

constexpr std::uint32_t ID_GUI_START = 8400;
constexpr std::uint32_t ID_GUI_STOP = 8401;
constexpr std::uint32_t ID_GUI_START_COMM = 8402;

constexpr std::uint32_t ID_FRAGGED_FILE_LIST = 8500;
constexpr std::uint32_t ID_BEFORE_VOL_DATA = 8501;
constexpr std::uint32_t ID_VOL_DATA = 8502;
constexpr std::uint32_t ID_BLOCK_ARRAY = 8503;
constexpr std::uint32_t ID_NEED_DISPLAY_DATA = 8504;
constexpr std::uint32_t ID_NEW_DISPLAY_DATA = 8505;
constexpr std::uint32_t ID_REPAINT = 8506;
constexpr std::uint32_t ID_ENGINE_NO_MESSAGE = 8507;
}  // namespace TW4_0

// Name look-ups for the trace: the constant name of a number in its set, or the empty
// string when the set has no such number. Never fails, allocates nothing.
[[nodiscard]] const wchar_t* GetCommandName4_5(std::uint32_t command) noexcept;
[[nodiscard]] const wchar_t* GetCommandName4_0(std::uint32_t command) noexcept;

// The tables themselves, in their fixed order.
struct CommandName {
  std::uint32_t number;
  const wchar_t* name;
};
struct CommandTable {
  const CommandName* entries;
  std::uint32_t count;
};
[[nodiscard]] CommandTable GetCommandTable4_5() noexcept;
[[nodiscard]] CommandTable GetCommandTable4_0() noexcept;
