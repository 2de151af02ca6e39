#pragma once
// The fragmented-file report on its way from the service to the GUI.

#include "pipes/pipe_packet.h"
#include "translation/drive_table.h"

// Translation thread, for the service's ID_FRAGGED_FILE_LIST: `packet` is the whole received
// pipe packet (header and dwDataSize body bytes), still owned by the caller. Traces
// "TW4_0::ID_FRAGGED_FILE_LIST\n", takes dwDataSize / 536 records (a remainder is ignored),
// builds the list of the entry's volume from them and sends its transfer buffer as
// ID_FRAGGED_DATA to the entry's pDataIoClient (nothing when that is null). The caller finds
// the entry from the packet's cDrive: a letter that is not A to Z names no entry, and the
// caller traces and drops such a list before coming here.
void HandleFraggedFileList(const PipePacket* packet, DriveEntry& entry) noexcept;

// Translation thread, at the end of an engine exit: when the counts at statistics offsets 304
// and 336 are both 0 (also when no volume data came since the last new operation), sends the
// transfer buffer of an empty list as ID_FRAGGED_DATA to the entry's pDataIoClient. Otherwise
// nothing: the service's own ID_FRAGGED_FILE_LIST brings the report.
void SendEmptyFraggedReportIfNothingFound(DriveEntry& entry) noexcept;
