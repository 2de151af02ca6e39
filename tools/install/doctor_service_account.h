#pragma once
// The doctor's look at the receiving pipe's trust: the account the service runs under, whether
// the module will admit it to its receiving pipe, and whether an administrator has opened the
// pipe to every caller.

#include "install/doctor.h"

// `bits`: the registry view the module reads (32 or 64), where the switch counts.
void CheckServiceAccount(DoctorReport& report, int bits);
