// The debug output of the trace: lines reach a debug-output monitor while one listens, and
// the in-process observer sees every line whether or not anyone listens.

#include <gtest/gtest.h>

#include <string>

#include "shared/trace.h"
#include "support/debug_monitor.h"
#include "support/trace_capture.h"

namespace {

// Longer than the trace's pause between two looks for a monitor.
constexpr DWORD kPastRecheckMs = 700;
constexpr DWORD kTimeoutMs = 5000;

TEST(TraceOutput, AMonitorStartedLaterGetsEveryPairFromTheNextLookOn) {
  TraceCapture capture;
  Trace(L"nobody listens %d\n", 1);  // the trace has looked: no monitor
  EXPECT_TRUE(capture.Contains(L"nobody listens 1\n"));

  DebugMonitor monitor;
  ASSERT_TRUE(monitor.Listening());
  Sleep(kPastRecheckMs);
  Trace(L"monitor listens %d\n", 2);
  TraceAlone(L"alone %s\n", L"line");
  ASSERT_TRUE(monitor.WaitFor("alone line\n", kTimeoutMs));

  const std::string threadLine = "Thread " + std::to_string(GetCurrentThreadId()) + ": ";
  const auto lines = monitor.Lines();
  ASSERT_EQ(3u, lines.size());
  EXPECT_EQ(threadLine, lines[0]);
  EXPECT_EQ("monitor listens 2\n", lines[1]);
  EXPECT_EQ("alone line\n", lines[2]);
  EXPECT_TRUE(capture.Contains(L"monitor listens 2\n"));
}

TEST(TraceOutput, WithoutAMonitorTheObserverStillSeesEveryLine) {
  TraceCapture capture;
  for (int i = 0; i < 3; ++i) Trace(L"line %d\n", i);
  TraceAlone(L"last\n");
  const auto lines = capture.Lines();
  const std::wstring threadLine = L"Thread " + std::to_wstring(GetCurrentThreadId()) + L": ";
  ASSERT_EQ(7u, lines.size());
  EXPECT_EQ(threadLine, lines[0]);
  EXPECT_EQ(L"line 0\n", lines[1]);
  EXPECT_EQ(L"line 2\n", lines[5]);
  EXPECT_EQ(L"last\n", lines[6]);
}

}  // namespace
