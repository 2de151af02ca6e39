#pragma once
// The lifecycle explorer: random but replayable scenarios of whole GUI sessions against the
// module, with the GUI peer and the service peer of tests/support playing both sides. A
// scenario is drawn from one 32-bit seed: its sessions, the drives analysed or defragmented at
// once, engine starts in bursts before the GUI opens its engine objects, pause, continue and
// stop per drive, the service's messages, a control pipe that the service closes and opens
// again, and the exit, also while engines still report and GUI threads still send; a new
// session may follow right after it in the same process. After every step the invariants are
// checked; the first one that does not hold ends the scenario with its seed and step.

#include <windows.h>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "shared/owners.h"
#include "support/handle_count.h"

// A uniform draw of its own over std::mt19937, whose output the standard fixes: the library's
// distributions differ between builds, and a seed must replay the same scenario everywhere.
class Rng {
 public:
  explicit Rng(std::uint32_t seed) : m_engine(seed) {}
  // 0 to n - 1 (0 when n is 0).
  std::uint32_t Below(std::uint32_t n) {
    return static_cast<std::uint32_t>((static_cast<std::uint64_t>(m_engine()) * n) >> 32);
  }
  bool Percent(std::uint32_t chance) { return Below(100) < chance; }

 private:
  std::mt19937 m_engine;
};

// Where the module's entry points come from: the module linked into this program (every
// module-internal check is made), or the built cobalin.dll loaded by path (what can be seen
// from outside is checked, and at the end the DLL must leave the process).
struct ModuleEntryPoints {
  HRESULT(STDAPICALLTYPE* getClassObject)(REFCLSID, REFIID, void**) = nullptr;
  HRESULT(STDAPICALLTYPE* canUnloadNow)() = nullptr;
  bool linked = true;
};

struct ScenarioResult {
  bool passed = true;
  int step = 0;              // the step at which an invariant broke
  std::string failure;       // what did not hold
  std::vector<std::string> steps;  // what the scenario did, one line per step
  std::string traceTail;     // the module's last trace lines (linked module only)
};

// What a run of scenarios in one process shares: the box recorder, the trace tail, the
// registry and handle baselines. One at a time per process.
class Explorer {
 public:
  Explorer();
  ~Explorer();
  Explorer(const Explorer&) = delete;
  Explorer& operator=(const Explorer&) = delete;

  // Counts the handles open once the process has warmed up: from then on no scenario may end
  // with more (beyond what COM keeps for its own look-ups). (The class keys are counted at
  // construction.)
  void TakeHandleBaseline();
  ScenarioResult Run(std::uint32_t seed, const ModuleEntryPoints& module);

  // Boxes shown so far (text), and the module's recent trace lines.
  std::vector<std::wstring> Boxes() const;
  std::vector<DWORD> BoxThreads() const;  // the thread each box ran on
  std::string TraceTail() const;
  // While held, a box stays up (holding the thread that waits for it) until released.
  void HoldBoxes(bool hold);
  bool WaitForBoxes(std::size_t count, DWORD timeoutMs) const;

  DWORD classKeyBaseline = 0;
  DWORD handleBaseline = 0;  // 0: not taken yet
  DWORD handleAllowance = 0; // handles that COM keeps after the checks' own look-ups

 private:
  static int RecordBox(const wchar_t* text, const wchar_t* caption, UINT type, void* context);
  static void ObserveTrace(const wchar_t* line, void* context);
  mutable SRWLOCK m_lock = SRWLOCK_INIT;
  std::vector<std::wstring> m_boxes;
  std::vector<DWORD> m_boxThreads;
  std::vector<std::wstring> m_tail;
  std::size_t m_tailNext = 0;
  bool m_comInitialized = false;
  UniqueHandle m_boxRelease{CreateEventW(nullptr, TRUE, TRUE, nullptr)};  // set while boxes are not held
  UniqueHandle m_boxShown{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
};

// Subkeys of HKEY_CLASSES_ROOT\CLSID: an engine class key left behind shows in the count.
DWORD ClassKeyCount();
