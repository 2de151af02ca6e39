#include "translation/percent_done.h"

bool AdvancePercentDone(DriveEntry& entry, std::uint32_t percentOfPass) noexcept {
  if (entry.dwAnalyzeOrDefrag == kOperationDefrag) {
    if (entry.dwPass == 1 && entry.dwPercentDone > 23) {
      entry.dwPass = 8;
      if (percentOfPass != 0) return false;
    }
    entry.dwPercentDone = percentOfPass / 9 + 11 * entry.dwPass;
  } else {
    if (entry.dwPass == 1 && entry.dwPercentDone > 34) {
      entry.dwPass = 2;
      if (percentOfPass != 0) return false;
    }
    entry.dwPercentDone = percentOfPass / 3 + 33 * entry.dwPass;
  }
  return true;
}
