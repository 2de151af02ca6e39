// The lifecycle explorer's runs: the scenarios of a CI run in slices, one process each, so that
// every slice stays well inside its time limit; a seed replayed alone; and scenarios against
// the built cobalin.dll, which must leave the process at the end.
//
// COBALIN_LIFECYCLE_SCENARIOS: scenarios per run (300 by default), spread over the slices.
// COBALIN_LIFECYCLE_SEED: replays that one scenario (the slices then skip).

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "lifecycle/explorer.h"
#include "shared/owners.h"
#include "support/module_files.h"
#include "support/resource_dll_registration.h"

namespace {

constexpr std::uint32_t kSlices = 15;
constexpr std::uint32_t kDefaultScenarios = 300;
constexpr std::uint32_t kFirstSeed = 1300;
constexpr std::uint32_t kModuleScenarios = 3;

bool EnvNumber(const char* name, std::uint32_t* value) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return false;
  *value = static_cast<std::uint32_t>(std::strtoul(text, nullptr, 0));
  return true;
}

ModuleEntryPoints LinkedModule() {
  ModuleEntryPoints module;
  module.getClassObject = &DllGetClassObject;
  module.canUnloadNow = &DllCanUnloadNow;
  module.linked = true;
  return module;
}

// Runs the seeds, stopping at the first scenario that breaks an invariant; its seed, step,
// steps and the module's last trace lines are the failure's message.
void RunSeeds(Explorer& explorer, std::uint32_t first, std::uint32_t count, const ModuleEntryPoints& module) {
  for (std::uint32_t seed = first; seed < first + count; ++seed) {
    const ScenarioResult result = explorer.Run(seed, module);
    // Two scenarios warm the process up (COM's and Wine's own handles); then the count is taken.
    if (seed == first + 1) explorer.TakeHandleBaseline();
    if (result.passed) continue;
    std::string steps;
    for (std::size_t i = 0; i < result.steps.size(); ++i) {
      steps += "  " + std::to_string(i + 1) + ". " + result.steps[i] + "\n";
    }
    ADD_FAILURE() << "scenario seed " << seed << " broke at step " << result.step << " ("
                  << (result.step > 0 ? result.steps[static_cast<std::size_t>(result.step) - 1] : "") << "): "
                  << result.failure << "\nreplay with COBALIN_LIFECYCLE_SEED=" << seed << "\nsteps:\n"
                  << steps << "---- last module trace lines ----\n"
                  << result.traceTail << "---- end ----";
    return;
  }
}

class LifecycleSlice : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(LifecycleSlice, ScenariosKeepEveryInvariant) {
  std::uint32_t seed = 0;
  if (EnvNumber("COBALIN_LIFECYCLE_SEED", &seed)) GTEST_SKIP() << "one seed is replayed instead";
  std::uint32_t total = kDefaultScenarios;
  EnvNumber("COBALIN_LIFECYCLE_SCENARIOS", &total);
  const std::uint32_t slice = GetParam();
  const std::uint32_t first = total * slice / kSlices;
  const std::uint32_t last = total * (slice + 1) / kSlices;
  ResourceDllRegistration resources;
  Explorer explorer;
  const ULONGLONG t0 = GetTickCount64();
  RunSeeds(explorer, kFirstSeed + first, last - first, LinkedModule());
  std::printf("lifecycle: seeds %u to %u in %llu ms\n", kFirstSeed + first, kFirstSeed + last - 1,
              static_cast<unsigned long long>(GetTickCount64() - t0));
}

INSTANTIATE_TEST_SUITE_P(Explorer, LifecycleSlice, ::testing::Range(0u, kSlices));

TEST(LifecycleReplay, OneSeed) {
  std::uint32_t seed = 0;
  if (!EnvNumber("COBALIN_LIFECYCLE_SEED", &seed)) GTEST_SKIP() << "COBALIN_LIFECYCLE_SEED names no seed";
  ResourceDllRegistration resources;
  Explorer explorer;
  RunSeeds(explorer, seed, 1, LinkedModule());
}

// The same scenarios against the built module, loaded by path: from outside, every invariant
// but the module's own counters is checked, and once the GUI has let go of everything and the
// host frees the module, it leaves the process.
TEST(LifecycleModule, ScenariosOnTheBuiltModuleEndWithItsUnload) {
  std::uint32_t seed = 0;
  if (EnvNumber("COBALIN_LIFECYCLE_SEED", &seed)) GTEST_SKIP() << "one seed is replayed instead";
  const std::wstring path = BinFile(L"cobalin.dll");
  ResourceDllRegistration resources;
  Explorer explorer;
  {
    UniqueModule dll(LoadLibraryW(path.c_str()));
    ASSERT_TRUE(dll) << "cobalin.dll not loaded: " << GetLastError();
    ModuleEntryPoints module;
    module.getClassObject = reinterpret_cast<decltype(module.getClassObject)>(
        reinterpret_cast<void*>(GetProcAddress(dll.get(), "DllGetClassObject")));
    module.canUnloadNow = reinterpret_cast<decltype(module.canUnloadNow)>(
        reinterpret_cast<void*>(GetProcAddress(dll.get(), "DllCanUnloadNow")));
    module.linked = false;
    ASSERT_TRUE(module.getClassObject != nullptr && module.canUnloadNow != nullptr);
    RunSeeds(explorer, kFirstSeed + 7000, kModuleScenarios, module);
    if (HasFailure()) return;
    ASSERT_EQ(S_OK, module.canUnloadNow());
  }
  // The module's threads hold it while they end; then it goes.
  const ULONGLONG deadline = GetTickCount64() + 10000;
  while (GetModuleHandleW(path.c_str()) != nullptr && GetTickCount64() < deadline) Sleep(10);
  EXPECT_EQ(nullptr, GetModuleHandleW(path.c_str())) << "cobalin.dll is still loaded";
}

}  // namespace
