#pragma once
// The doctor: looks at this machine (or Wine prefix) the way the module will meet it and says,
// one sentence per finding, what stands in the module's way and how to fix it. It only reads:
// the registry (both views where there are two), the service control manager, the files that
// the registry names (each as a program of that view's architecture finds it, so that the 32-bit
// and the 64-bit build say the same of one machine), the control pipe's presence and this
// process's access token.

#include <windows.h>

#include <string>
#include <vector>

struct DoctorReport {
  std::vector<std::wstring> findings;  // what is wrong and how to fix it, one sentence each
  std::vector<std::wstring> seen;      // what was found in order, one short sentence each
};

DoctorReport ExamineMachine();

// The flag that opens registry keys in the view of `bits` (32 or 64).
REGSAM ViewFlag(int bits);

// Writes the report; 0 when there is no finding (the module can work), else 1.
int RunDoctor();
