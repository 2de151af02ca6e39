#pragma once
// The overall percent done the GUI is shown, computed from the engine's percent done of its
// current pass and the drive's pass. Analysis has three passes of a third each (it counts from
// pass 0); defragmentation steps of 11 per pass, jumping to pass 8 after its first pass.

#include <cstdint>

#include "translation/drive_table.h"

// Moves the entry's dwPercentDone and dwPass on for the engine's report `percentOfPass`.
// Returns false when the report only moved the pass on and nothing is to be sent.
[[nodiscard]] bool AdvancePercentDone(DriveEntry& entry, std::uint32_t percentOfPass) noexcept;
