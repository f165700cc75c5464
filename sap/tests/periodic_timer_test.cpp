#include "sap/impl/periodic_timer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>

#include "sap/tests/sap_test_support.h"
#include "testing/run_command.h"
#include "testing/stdout_capture.h"

using namespace std::chrono_literals;
using sap::periodic_timer;
using sap_test::Inbox;
using sap_test::IoThread;

TEST(PeriodicTimer, RunsAtItsRateUntilStoppedFromAnotherThread) {
  IoThread io;
  Inbox<std::chrono::steady_clock::time_point> calls;
  periodic_timer timer(*io.io(), "rate", 20ms, true);
  const auto started = std::chrono::steady_clock::now();
  timer.start([&] { calls.push(std::chrono::steady_clock::now()); });
  ASSERT_TRUE(calls.waitFor(5));
  const auto stopAt = std::chrono::steady_clock::now();
  timer.stop();
  EXPECT_LT(std::chrono::steady_clock::now() - stopAt, 500ms);
  const auto times = calls.items();
  // Fixed rate: the fifth call is due 100 ms after the start, not later than drift would make it.
  EXPECT_GE(times[4] - started, 100ms);
  const size_t afterStop = calls.size();
  std::this_thread::sleep_for(60ms);
  EXPECT_EQ(calls.size(), afterStop);
}

TEST(PeriodicTimer, PrintsWhatTheCallbackThrowsAndGoesOn) {
  testing_support::StdoutCapture capture;
  IoThread io;
  Inbox<int> calls;
  std::atomic<int> count{0};
  periodic_timer timer(*io.io(), "sap::listener", 10ms, true);
  timer.start([&] {
    const int n = count++;
    calls.push(n);
    if (n == 0) throw std::runtime_error("boom");
    if (n == 1) throw std::logic_error("bad");
    if (n == 2) throw 42;
    if (n == 3) throw std::runtime_error("");
  });
  ASSERT_TRUE(calls.waitFor(5));
  timer.stop();
  io.stop();
  // A thread woken more than a period late also prints its "takes too long" line: only the lines
  // about what the callback threw are compared.
  std::string thrown;
  for (const std::string& line : testing_support::splitLines(capture.take())) {
    if (line.rfind("[Timer: sap::listener] ", 0) == 0) thrown += line + "\n";
  }
  EXPECT_EQ(thrown,
            "[Timer: sap::listener] runtime error: boom\n"
            "[Timer: sap::listener] exception: bad\n"
            "[Timer: sap::listener] unknown exception\n"
            "[Timer: sap::listener] runtime error: Unknown exception\n");
}

TEST(PeriodicTimer, LateCallbackRestartsTheRateFromNow) {
  testing_support::StdoutCapture capture;
  IoThread io;
  Inbox<int> calls;
  periodic_timer timer(*io.io(), "slow", 10ms, true);
  std::atomic<bool> first{true};
  timer.start([&] {
    if (first.exchange(false)) std::this_thread::sleep_for(40ms);
    calls.push(0);
  });
  ASSERT_TRUE(calls.waitFor(2));
  timer.stop();
  io.stop();
  const std::string out = capture.take();
  EXPECT_EQ(out.rfind("[slow] timer callback takes too long time ", 0), 0u) << out;
  EXPECT_NE(out.find(" [ms]; restart timer from now\n"), std::string::npos) << out;
}

TEST(PeriodicTimer, StopsFromInsideItsCallbackAndRestarts) {
  IoThread io;
  Inbox<int> calls;
  periodic_timer timer(*io.io(), "self", 5ms, false);
  timer.start([&] {
    calls.push(1);
    timer.stop();
  });
  ASSERT_TRUE(calls.waitFor(1));
  std::this_thread::sleep_for(40ms);
  EXPECT_EQ(calls.size(), 1u);

  Inbox<int> again;
  timer.start([&] { again.push(2); });
  EXPECT_TRUE(again.waitFor(2));
  timer.stop();
}

TEST(PeriodicTimer, StopWithoutStartAndAfterTheLoopEndedReturnsAtOnce) {
  IoThread io;
  periodic_timer never(*io.io(), "never", 10ms, true);
  never.stop();

  periodic_timer orphan(*io.io(), "orphan", 1h, true);
  orphan.start([] {});
  io.stop();
  const auto before = std::chrono::steady_clock::now();
  orphan.stop();
  EXPECT_LT(std::chrono::steady_clock::now() - before, 500ms);
}
