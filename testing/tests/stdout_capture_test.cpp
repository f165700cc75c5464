#include "testing/stdout_capture.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "testing/run_command.h"

namespace {

using testing_support::StdoutCapture;

constexpr const char* kProbeVariable = "LUMORA_CAPTURE_PROBE";

// Fails on purpose while standard output is captured; only the case below runs it, as a child.
TEST(CaptureProbe, FailsWhileCapturing) {
  if (std::getenv(kProbeVariable) == nullptr) GTEST_SKIP() << "run by StdoutCaptureTest only";
  StdoutCapture outer;
  StdoutCapture inner;
  std::printf("component output\n");
  EXPECT_EQ(inner.take().size(), 0u) << "the reason the probe gives";
}

TEST(StdoutCaptureTest, TakesWhatWasWrittenInOrder) {
  StdoutCapture capture;
  std::printf("one\n");
  EXPECT_EQ(capture.take(), "one\n");
  std::printf("two");
  std::fflush(stdout);
  EXPECT_EQ(capture.take(), "two");
  EXPECT_EQ(capture.take(), "");
}

// GoogleTest prints a failure into the capture; the reason must still reach the log.
TEST(StdoutCaptureTest, AFailureWhileCapturingStillPrintsItsReason) {
  const auto run =
      testing_support::runCommand(std::string(kProbeVariable) + "=1 " + testing_support::shellWord(PROBE_PROGRAM) +
                                  " --gtest_filter=CaptureProbe.FailsWhileCapturing 2>&1");
  EXPECT_NE(run.status, 0) << run.output;
  for (const char* expected : {"stdout_capture_test.cpp:", "inner.take().size()", "the reason the probe gives",
                               "[  FAILED  ] CaptureProbe.FailsWhileCapturing"}) {
    EXPECT_NE(run.output.find(expected), std::string::npos) << expected << "\n" << run.output;
  }
  // Once: through the listener, not through the captured printer as well.
  EXPECT_EQ(run.output.find("the reason the probe gives"), run.output.rfind("the reason the probe gives"))
      << run.output;
  EXPECT_EQ(run.output.find("component output"), std::string::npos) << run.output;
}

}  // namespace
