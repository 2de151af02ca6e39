#pragma once
// The fragmented-file report on its way from the service to the GUI.

#include "pipes/pipe_packet.h"
#include "translation/drive_table.h"

// Translation thread, for the service's ID_FRAGGED_FILE_LIST: `packet` is the whole received
// pipe packet (header and dwDataSize body bytes); the report goes to the entry's GUI object.
void HandleFraggedFileList(const PipePacket* packet, DriveEntry& entry) noexcept;

// Translation thread, at an engine exit: sends the empty report when the drive's statistics
// counted nothing to report.
void SendEmptyFraggedReportIfNothingFound(DriveEntry& entry) noexcept;
