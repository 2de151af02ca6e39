// Whole sessions with the real programs: the module installed as an installation does it, the
// service stand-in installed in the service control manager and stopped, the GUI stand-in run
// with a script, and the trace viewer listening.

#include <gtest/gtest.h>

#include "common/text.h"
#include "e2e/e2e_support.h"

namespace {

constexpr DWORD kInstallMs = 60000;
constexpr DWORD kSessionMs = 120000;

// Every step of a script worked, the exit aside (whose own checks are the subject of the tests
// that require a status of 0).
bool StepsWorkedBeforeTheExit(const std::string& out) {
  static const std::string kExitFailed = "The step \"exit\" did not work.";
  std::size_t at = 0;
  while ((at = out.find("The step \"", at)) != std::string::npos) {
    if (out.compare(at, kExitFailed.size(), kExitFailed) != 0) return false;
    ++at;
  }
  return out.find("Connected to the Tarnswell service") != std::string::npos;
}

class Session : public ::testing::Test {
 protected:
  void SetUp() override {
    RunProgram(L"cobalin_install.exe", L"uninstall", kInstallMs);  // whatever an earlier run left
    DeleteFileW(ServiceLogPath().c_str());
    std::string output;
    ASSERT_EQ(0u, RunProgram(L"cobalin_install.exe", L"install --seed 7 --tick 5 --log \"" + ServiceLogPath() + L"\"",
                             kInstallMs, &output))
        << output;
    ASSERT_TRUE(StopService(15000));
    ASSERT_EQ(static_cast<DWORD>(SERVICE_STOPPED), ServiceState());
  }
  void TearDown() override { RunProgram(L"cobalin_install.exe", L"uninstall", kInstallMs); }
  // Runs the GUI stand-in with a script; its exit code and output (with the service's log
  // after it, for the person reading a failure).
  DWORD RunGui(const std::wstring& script, std::string& output) {
    const DWORD code = RunProgram(L"cobalin_gui.exe",
                                  L"--timeout 60 --trace \"" + TracePath() + L"\" --script \"" + script + L"\"",
                                  kSessionMs, &output);
    if (code != 0) {
      output += "\n--- the service's log:\n" + ReadFileText(ServiceLogPath());
      output += "\n--- the module's trace:\n" + ReadFileText(TracePath());
    }
    return code;
  }
  static std::wstring ServiceLogPath() { return BinDir() + L"e2e-service.log"; }
  static std::wstring TracePath() { return BinDir() + L"e2e-module-trace.log"; }
};

TEST_F(Session, ConnectsAnalysesDefragmentsReportsAndExitsWithTheServiceStartedOnDemand) {
  std::string out;
  ASSERT_EQ(0u, RunGui(L"drives; analyze C; defrag C; report C; exit", out)) << out;
  EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), ServiceState());  // the module started it
  EXPECT_NE(std::string::npos, out.find("Connected to the Tarnswell service on")) << out;
  EXPECT_NE(std::string::npos, out.find("  C:     NTFS")) << out;
  EXPECT_NE(std::string::npos, out.find("  F:     CDFS")) << out;
  EXPECT_NE(std::string::npos, out.find("Analysis of C: finished: drive analysed.")) << out;
  EXPECT_NE(std::string::npos, out.find("Defragmentation of C: finished: drive defragmented.")) << out;
  EXPECT_NE(std::string::npos, out.find("Drive map of C: (1024 blocks")) << out;
  EXPECT_NE(std::string::npos, out.find("Fragmented files on C: (\\\\.\\C:\\)")) << out;
  EXPECT_NE(std::string::npos, out.find("100 %")) << out;
  EXPECT_NE(std::string::npos, out.find("No engine class key is left")) << out;
}

TEST_F(Session, ExitLeavesNoEngineClassKeyAndTheModuleUnloadable) {
  std::string out;
  // Two engine starts on C (two engine classes for one drive) and one on E.
  ASSERT_EQ(0u, RunGui(L"analyze C; defrag C; analyze E; exit", out)) << out;
  const auto classes = ClassIdsInLines(out, "Engine class {");
  ASSERT_EQ(3u, classes.size()) << out;
  for (const auto& clsid : classes) EXPECT_FALSE(ClassesRootKeyExists(L"CLSID\\" + clsid)) << ToUtf8(clsid);
  // Nor are they still offered to COM by the module.
  EXPECT_EQ(std::string::npos, out.find("still offered to COM")) << out;
  const bool unloadable = out.find("The module was unloaded.") != std::string::npos ||
                          out.find("The module can be unloaded") != std::string::npos;
  EXPECT_TRUE(unloadable) << out;
  // The installation's own key stays.
  EXPECT_TRUE(ClassesRootKeyExists(L"CLSID\\{1B872DBC-5A55-43B1-AFF6-4115DD5C3D44}\\InprocServer32"));
}

TEST_F(Session, ASecondSessionInANewProcessWorksLikeTheFirst) {
  std::string first, second;
  RunGui(L"analyze D; report D; exit", first);
  ASSERT_TRUE(StepsWorkedBeforeTheExit(first)) << first;
  RunGui(L"settings priority Priority=High; settings exclude E:\\SETUP,C:\\TEMP; analyze D; report D; exit", second);
  ASSERT_TRUE(StepsWorkedBeforeTheExit(second)) << second;
  // Settings saved through the module come back through it (the exclusion list behind the
  // fixed part the module keeps).
  EXPECT_NE(std::string::npos, second.find("  Priority   Priority=High")) << second;
  EXPECT_NE(std::string::npos, second.find("  Excluded   E:\\SETUP, C:\\TEMP")) << second;
  EXPECT_NE(std::string::npos, second.find("Analysis of D: finished")) << second;
  EXPECT_NE(std::string::npos, second.find("Fragmented files on D:")) << second;
  // The same seed and the same volume: the same report both times.
  const auto table = [](const std::string& out) { return out.substr(out.find("Fragmented files on D:")); };
  EXPECT_EQ(table(first).substr(0, 2000), table(second).substr(0, 2000));
  const auto firstClasses = ClassIdsInLines(first, "Engine class {");
  const auto secondClasses = ClassIdsInLines(second, "Engine class {");
  ASSERT_EQ(1u, firstClasses.size());
  ASSERT_EQ(1u, secondClasses.size());
  EXPECT_NE(firstClasses[0], secondClasses[0]);  // a new engine class for the new session
}

// The service goes away mid-session, once by a crash and once stopped and started by the
// service control manager: the GUI's next command works end to end all the same. The service
// that crashes runs in a console: Wine's service control manager does not notice the end of a
// service process it started, and would never start that service again.
TEST_F(Session, ASessionOutlivesItsServiceGoingAway) {
  ChildProgram crashing;
  ASSERT_TRUE(crashing.Start(L"tarnswell_service.exe", L"--console --seed 7 --tick 5"));
  ChildProgram gui;
  ASSERT_TRUE(gui.Start(L"cobalin_gui.exe", L"--timeout 60 --script \"analyze C; sleep 4000; analyze D; sleep 4000; "
                                            L"analyze E; exit\""));
  ASSERT_TRUE(gui.WaitForOutput("Analysis of C: finished", kSessionMs)) << gui.Output();
  EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), ServiceState());  // the console's service answered
  crashing.Kill();
  ASSERT_TRUE(gui.WaitForOutput("Analysis of D: finished", kSessionMs)) << gui.Output();
  EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), ServiceState());  // the module started it
  ASSERT_TRUE(StopService(15000));
  ASSERT_TRUE(StartServiceByManager());
  DWORD code = ~0u;
  ASSERT_TRUE(gui.Wait(kSessionMs, code)) << gui.Output();
  const std::string out = gui.Output();
  EXPECT_EQ(0u, code) << out << "\n--- the service's log:\n" << ReadFileText(ServiceLogPath());
  EXPECT_NE(std::string::npos, out.find("Analysis of E: finished")) << out;
  EXPECT_NE(std::string::npos, out.find("No engine class key is left")) << out;
}

TEST_F(Session, TheTraceViewerShowsTheModulesLines) {
  ChildProgram viewer;
  ASSERT_TRUE(viewer.Start(L"cobalin_traceview.exe", L"--seconds 100 --until \"TW4_5::ID_FENUI_EXIT Done\""));
  ASSERT_TRUE(viewer.WaitForOutput("# listening", 10000)) << viewer.Output();
  std::string out;
  RunGui(L"analyze C; exit", out);
  ASSERT_TRUE(StepsWorkedBeforeTheExit(out)) << out;
  DWORD exitCode = ~0u;
  ASSERT_TRUE(viewer.Wait(20000, exitCode)) << viewer.Output();
  EXPECT_EQ(0u, exitCode);
  const std::string trace = viewer.Output();
  for (const char* line : {"Thread ", ": TW4_0::ID_DRIVE_DATA", ": TW4_0::ID_ENGINE_START", ": TW4_5::ID_ANALYZE",
                           ": TW4_0::ID_ENGINE_EXIT", ": TW4_5::ID_FENUI_EXIT Done"}) {
    EXPECT_NE(std::string::npos, trace.find(line)) << line << "\n" << trace;
  }
}

TEST_F(Session, PausesContinuesAndStopsAnEngine) {
  // A slow service, so that the engine is still running when the commands come.
  ASSERT_EQ(0u, RunProgram(L"cobalin_install.exe", L"install --service-only --seed 7 --tick 150", kInstallMs));
  ASSERT_TRUE(StopService(15000));
  std::string out;
  RunGui(L"defrag D nowait; pause D; continue D; stop D; exit", out);
  ASSERT_TRUE(StepsWorkedBeforeTheExit(out)) << out;
  EXPECT_NE(std::string::npos, out.find("Defragmentation of D: started.")) << out;
  EXPECT_NE(std::string::npos, out.find("Drive D: paused at")) << out;
  EXPECT_NE(std::string::npos, out.find("Drive D: continues.")) << out;
  EXPECT_NE(std::string::npos, out.find("The defragmentation of D: was stopped at")) << out;
}

TEST_F(Session, ADriveTheServiceCannotWorkOnIsRefusedWithTheServicesText) {
  std::string out;
  EXPECT_EQ(1u, RunGui(L"analyze F; exit", out)) << out;
  EXPECT_NE(std::string::npos,
            out.find("The service says: Drive F: cannot be analyzed: its file system (CDFS) is not supported."))
      << out;
  EXPECT_NE(std::string::npos, out.find("The step \"analyze F\" did not work.")) << out;
  EXPECT_NE(std::string::npos, out.find("No engine class key is left")) << out;  // the exit still ran
}

TEST_F(Session, AMissingServiceIsToldInAPlainSentence) {
  ASSERT_EQ(0u, RunProgram(L"cobalin_install.exe", L"uninstall --service-only", kInstallMs));
  std::string out;
  EXPECT_EQ(1u, RunGui(L"drives; exit", out)) << out;
  EXPECT_NE(std::string::npos, out.find("The Tarnswell service is not installed on this computer.")) << out;
}

}  // namespace
