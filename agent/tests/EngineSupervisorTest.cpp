#include "agent/src/EngineSupervisor.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "agent/tests/AgentTestSupport.h"
#include "platform/process.h"
#include "testing/temp_dir.h"

namespace {

using namespace std::chrono_literals;
using agent_testing::waitUntil;
using Clock = std::chrono::steady_clock;
using testing_support::ScopedEnv;
using testing_support::TempDir;

// A supervisor on its own, counting its death reports.
class SupervisorTest : public ::testing::Test {
 protected:
  void TearDown() override {
    if (pid > 0) ::kill(static_cast<pid_t>(pid), SIGKILL);
  }

  std::atomic<int> deaths{0};
  lmr::EngineSupervisor supervisor{[this] { ++deaths; }};
  int64_t pid = 0;
};

// An engine that hangs and never looks at its lifeline is killed once the stop has waited for it.
TEST_F(SupervisorTest, AStopKillsAnEngineThatOutlivesItsLifeline) {
  TempDir files;
  const std::string program = files.path() + "/deaf-engine";
  testing_support::writeFile(program, "#!/bin/sh\nexec sleep 60\n");
  ASSERT_EQ(::chmod(program.c_str(), 0755), 0);
  supervisor.setProgram(QString::fromStdString(program));
  supervisor.setStopTimeout(300ms);
  supervisor.start(false);
  pid = supervisor.pid();
  ASSERT_GT(pid, 0);

  const auto before = Clock::now();
  supervisor.stop();
  EXPECT_GE(Clock::now() - before, 300ms);  // it was given its time first
  EXPECT_TRUE(waitUntil([&] { return !platform::isProcessAlive(pid); }, 5s));
  EXPECT_EQ(supervisor.pid(), 0);
  EXPECT_FALSE(supervisor.watched());
  EXPECT_EQ(deaths, 0);  // a stopped engine's end is no news
}

// The engine server child ends as soon as its lifeline closes: the stop returns without waiting
// out its timeout.
TEST_F(SupervisorTest, AStopEndsAnEngineThroughItsLifeline) {
  supervisor.setProgram(QStringLiteral(FAKE_ENGINE_PROGRAM));
  supervisor.setWatchdogPeriod(50ms);
  supervisor.setStopTimeout(30s);
  supervisor.start(true);
  pid = supervisor.pid();
  ASSERT_GT(pid, 0);
  EXPECT_TRUE(supervisor.started());
  EXPECT_TRUE(supervisor.watched());

  const auto before = Clock::now();
  supervisor.stop();
  EXPECT_LT(Clock::now() - before, 15s);
  EXPECT_FALSE(platform::isProcessAlive(pid));
  EXPECT_EQ(supervisor.pid(), 0);
  EXPECT_EQ(deaths, 0);
}

// A death report that restarts the engine while the supervisor goes away: the restart is refused
// rather than waiting for a lock the destruction holds while it joins that very report.
TEST(EngineSupervisor, ARestartFromADeathReportDuringTheDestructionIsRefused) {
  ScopedEnv lifetime("FAKE_ENGINE_LIFETIME_MS", "0");
  std::atomic<bool> reporting{false};
  std::atomic<bool> destroying{false};
  lmr::EngineSupervisor* self = nullptr;
  auto supervisor = std::make_unique<lmr::EngineSupervisor>([&] {
    reporting = true;
    waitUntil([&] { return destroying.load(); }, 5s);
    std::this_thread::sleep_for(100ms);  // lets the destruction take the lock first
    self->start(false);
  });
  self = supervisor.get();
  supervisor->setProgram(QStringLiteral(FAKE_ENGINE_PROGRAM));
  supervisor->setWatchdogPeriod(50ms);
  supervisor->start(false);
  ASSERT_TRUE(waitUntil([&] { return reporting.load(); }, 5s));
  std::atomic<bool> destroyed{false};
  std::thread destruction([&] {
    destroying = true;
    supervisor.reset();
    destroyed = true;
  });
  if (!waitUntil([&] { return destroyed.load(); }, 5s)) {
    ADD_FAILURE() << "deadlocked";
    std::fflush(stdout);
    std::_Exit(1);  // the two threads never end
  }
  destruction.join();
}

}  // namespace
