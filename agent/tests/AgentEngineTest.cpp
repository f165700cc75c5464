#include <QCoreApplication>

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "agent/src/HttpClient.h"
#include "agent/tests/AgentTestSupport.h"
#include "testing/run_command.h"
#include "testing/stdout_capture.h"
#include "testing/temp_dir.h"

namespace {

using namespace std::chrono_literals;
using agent_testing::AgentTest;
using agent_testing::waitUntil;
using testing_support::readFile;
using testing_support::ScopedEnv;
using testing_support::splitLines;
using testing_support::StdoutCapture;
using testing_support::TempDir;

// An agent whose engine program is the fake engine, recording into a private file.
class EngineTest : public AgentTest {
 protected:
  std::unique_ptr<lmr::Agent> makeEngineAgent(const std::string& configJson = "{}") {
    auto agent = makeAgent(configJson);
    agent->setEngineProgram(FAKE_ENGINE_PROGRAM);
    agent->setWatchdogPeriod(100ms);
    return agent;
  }
  std::string argsFile() const { return files.path() + "/args"; }
  std::string ownPid() const { return std::to_string(QCoreApplication::applicationPid()); }

  void TearDown() override {
    for (int64_t pid : started) {
      if (pid > 0) ::kill(static_cast<pid_t>(pid), SIGKILL);
    }
  }

  TempDir files;
  ScopedEnv argsVariable{"FAKE_ENGINE_ARGS_FILE", argsFile()};
  std::vector<int64_t> started;
};

TEST_F(EngineTest, AnEngineThatExitsIsReportedDeadOnce) {
  ScopedEnv lifetime("FAKE_ENGINE_LIFETIME_MS", "0");
  auto agent = makeEngineAgent();
  StdoutCapture capture;
  agent->startEngineProcess(false);
  const int64_t pid = agent->enginePid();
  EXPECT_GT(pid, 0);
  ASSERT_TRUE(listener.waitFor("died", 3s));
  std::this_thread::sleep_for(400ms);  // several more periods: no second report
  EXPECT_EQ(listener.events(), std::vector<std::string>{"died"});
  EXPECT_EQ(agent->enginePid(), 0);
  EXPECT_EQ(splitLines(readFile(argsFile())), std::vector<std::string>{"--server 1 --apid " + ownPid()});
  const std::string log = capture.take();
  EXPECT_NE(log.find("Engine process has started\n"), std::string::npos);
  EXPECT_NE(log.find("Engine process died\n"), std::string::npos);
}

TEST_F(EngineTest, MasterEngineGetsMasterLast) {
  ScopedEnv lifetime("FAKE_ENGINE_LIFETIME_MS", "0");
  auto agent = makeEngineAgent();
  agent->startEngineProcess(true);
  ASSERT_TRUE(waitUntil([&] { return !readFile(argsFile()).empty(); }, 3s));
  EXPECT_EQ(splitLines(readFile(argsFile())),
            std::vector<std::string>{"--server 1 --apid " + ownPid() + " --master 1"});
  EXPECT_TRUE(listener.waitFor("died", 3s));
}

TEST_F(EngineTest, AStartWhileTheEngineLivesIsRefused) {
  auto agent = makeEngineAgent();
  EXPECT_TRUE(agent->canStartLocalServer());  // Hybrid by default, nothing started yet
  agent->startEngineProcess(false);
  const int64_t pid = agent->enginePid();
  started.push_back(pid);
  ASSERT_GT(pid, 0);
  EXPECT_FALSE(agent->canStartLocalServer());
  ASSERT_TRUE(waitUntil([&] { return !readFile(argsFile()).empty(); }, 3s));

  StdoutCapture capture;
  const auto before = std::chrono::steady_clock::now();
  agent->startEngineProcess(true);  // must neither start a second engine nor wait for the first
  EXPECT_LT(std::chrono::steady_clock::now() - before, 1s);
  EXPECT_NE(capture.take().find("Engine process is already running\n"), std::string::npos);
  EXPECT_EQ(agent->enginePid(), pid);
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(splitLines(readFile(argsFile())).size(), 1u);
  EXPECT_TRUE(listener.events().empty());

  ::kill(static_cast<pid_t>(pid), SIGKILL);
  ASSERT_TRUE(listener.waitFor("died", 3s));
  EXPECT_EQ(agent->enginePid(), 0);
  // Dead now: a new start goes through.
  ScopedEnv lifetime("FAKE_ENGINE_LIFETIME_MS", "0");
  agent->startEngineProcess(false);
  EXPECT_TRUE(waitUntil([&] { return splitLines(readFile(argsFile())).size() == 2; }, 3s));
  EXPECT_TRUE(waitUntil([&] { return listener.events().size() == 2; }, 3s));
}

TEST_F(EngineTest, AFailedStartKeepsThePidAndIsReportedAfterOnePeriod) {
  auto agent = makeEngineAgent();
  agent->setEngineProgram(QString::fromStdString(files.path() + "/no-such-program"));
  StdoutCapture capture;
  agent->startEngineProcess(false);
  EXPECT_NE(capture.take().find("Failed to create engine process\n"), std::string::npos);
  EXPECT_EQ(agent->enginePid(), 0);
  EXPECT_TRUE(listener.waitFor("died", 2s));
  EXPECT_EQ(listener.events().size(), 1u);
}

TEST_F(EngineTest, AFailedStartAfterADeathLeavesTheOldIdUntilTheWatchdogClearsIt) {
  ScopedEnv lifetime("FAKE_ENGINE_LIFETIME_MS", "0");
  auto agent = makeEngineAgent();
  agent->setWatchdogPeriod(1500ms);
  agent->startEngineProcess(false);
  const int64_t pid = agent->enginePid();
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(waitUntil([&] { return !lmr::Agent::isProcessAlive(pid); }, 2s));
  agent->setEngineProgram(QString::fromStdString(files.path() + "/no-such-program"));
  agent->startEngineProcess(false);
  EXPECT_EQ(agent->enginePid(), pid);
  // The replaced watchdog ends silently; the new one reports the death once.
  ASSERT_TRUE(listener.waitFor("died", 3s));
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(listener.events().size(), 1u);
  EXPECT_EQ(agent->enginePid(), 0);
}

// A listener that restarts the engine straight from the watchdog's call must not hang it.
TEST_F(EngineTest, RestartFromTheWatchdogThread) {
  ScopedEnv lifetime("FAKE_ENGINE_LIFETIME_MS", "0");
  auto agent = makeEngineAgent();
  struct Restarter : lmr::Agent::Listener {
    lmr::Agent* agent = nullptr;
    std::atomic<int> deaths{0};
    void onAttached(const std::string&) override {}
    void onDetached(const std::string&) override {}
    void onNotification(const std::string&) override {}
    void onEngineDied() override {
      if (++deaths == 1) agent->startEngineProcess(false);
    }
  } restarter;
  restarter.agent = agent.get();
  agent->addListener(&restarter);
  agent->startEngineProcess(false);
  EXPECT_TRUE(waitUntil([&] { return restarter.deaths == 2; }, 3s));
  EXPECT_EQ(splitLines(readFile(argsFile())).size(), 2u);
  agent->removeListener(&restarter);
}

// The engine's death report and an attachment arriving together: the listener restarts the
// engine (agent mutex) from its death report while the attachment comes with the agent mutex held.
TEST_F(EngineTest, ARestartFromTheDeathReportWhileAnAttachmentArrivesDoesNotDeadlock) {
  ScopedEnv lifetime("FAKE_ENGINE_LIFETIME_MS", "0");
  auto agent = makeEngineAgent();
  struct SlowRestarter : lmr::Agent::Listener {
    lmr::Agent* agent = nullptr;
    std::atomic<bool> dying{false};
    std::atomic<int> restarts{0};
    void onAttached(const std::string&) override {}
    void onDetached(const std::string&) override {}
    void onNotification(const std::string&) override {}
    void onEngineDied() override {
      if (dying.exchange(true)) return;
      std::this_thread::sleep_for(300ms);  // the attachment arrives meanwhile
      agent->startEngineProcess(false);
      ++restarts;
    }
  } restarter;
  restarter.agent = agent.get();
  agent->addListener(&restarter);
  lmr::Agent::BrowserListener browser(agent.get());
  agent->startEngineProcess(false);
  ASSERT_TRUE(waitUntil([&] { return restarter.dying.load(); }, 3s));
  std::atomic<bool> attached{false};
  std::thread dnsSd([&] {
    browser.service_resolved(1, "_lumoraD", "_http._tcp.", "h.local.", "10.0.0.9", 9, {});
    attached = true;
  });
  const bool finished = waitUntil([&] { return attached && restarter.restarts == 1; }, 3s);
  if (!finished) {
    ADD_FAILURE() << "deadlocked";
    std::fflush(stdout);
    std::_Exit(1);  // the two threads never end
  }
  dnsSd.join();
  EXPECT_TRUE(listener.waitFor("attached 10.0.0.9:9", 1s));
  agent->removeListener(&restarter);
}

// The child must not hold the agent's descriptors (the DNS-SD client's socket pair, pipes).
TEST_F(EngineTest, TheEngineGetsOnlyTheStandardDescriptorsAndItsLifeline) {
  const std::string fdsFile = files.path() + "/fds";
  ScopedEnv fds("FAKE_ENGINE_FDS_FILE", fdsFile);
  int leaked[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, leaked), 0);
  auto agent = makeEngineAgent();
  agent->startEngineProcess(false);
  started.push_back(agent->enginePid());
  ::close(leaked[0]);
  ::close(leaked[1]);
  ASSERT_TRUE(waitUntil([&] { return !readFile(fdsFile).empty(); }, 3s));
  EXPECT_EQ(readFile(fdsFile), "0 1 2 3\n");
  // It ends with its agent.
  const int64_t pid = agent->enginePid();
  agent.reset();
  EXPECT_TRUE(waitUntil([&] { return !lmr::Agent::isProcessAlive(pid); }, 1s));
}

TEST_F(EngineTest, RemovedListenersHearNothing) {
  ScopedEnv lifetime("FAKE_ENGINE_LIFETIME_MS", "0");
  auto agent = makeEngineAgent();
  agent->removeListener(&listener);
  agent->startEngineProcess(false);
  std::this_thread::sleep_for(400ms);
  EXPECT_TRUE(listener.events().empty());
  EXPECT_EQ(agent->enginePid(), 0);
}

TEST(ProcessAlive, ZeroDeadChildrenAndSelf) {
  EXPECT_FALSE(lmr::Agent::isProcessAlive(0));
  EXPECT_FALSE(lmr::Agent::isProcessAlive(-1));
  EXPECT_TRUE(lmr::Agent::isProcessAlive(::getpid()));
  const pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  ASSERT_GT(child, 0);
  // Exited but not reaped: a zombie counts as dead.
  EXPECT_TRUE(waitUntil([&] { return !lmr::Agent::isProcessAlive(child); }, 2s));
  int status = 0;
  ::waitpid(child, &status, 0);
}

TEST_F(AgentTest, AllInterfacesGiveNoFilter) {
  auto agent = makeAgent();
  EXPECT_EQ(agent->hardwareIds(), QStringList{"0"});
  EXPECT_TRUE(agent->interfaceFilters().empty());
}

TEST_F(AgentTest, UnknownHardwareIdsGiveNoFilter) {
  auto agent = makeAgent(R"({"discovery":{"filtering":[{"hardware_id":"02:00:00:00:00:99"}]}})");
  EXPECT_EQ(agent->hardwareIds(), QStringList{"02:00:00:00:00:99"});
  EXPECT_TRUE(agent->interfaceFilters().empty());
}

constexpr const char* kInnerVariable = "LUMORA_AGENT_INNER_NETNS";

// Runs inside a network namespace of its own (see the next test), where it may add interfaces.
TEST_F(AgentTest, FiltersInAPrivateNetwork) {
  if (std::getenv(kInnerVariable) == nullptr) GTEST_SKIP() << "runs only inside its own network namespace";
  ASSERT_EQ(std::system("ip link add lmrd0 type veth peer name lmrp0 && ip link set lmrd0 address 02:00:00:00:aa:01 && "
                        "ip addr add 10.77.0.5/24 dev lmrd0 && ip addr add 10.78.1.5/16 dev lmrd0 && "
                        "ip link set lmrd0 up && ip link set lmrp0 up && "
                        "ip link add lmrd1 type veth peer name lmrp1 && ip link set lmrd1 address 02:00:00:00:aa:02 && "
                        "ip addr add 10.79.0.5/24 dev lmrd1"),
            0);
  auto agent = makeAgent(R"({"discovery":{"filtering":[{"hardware_id":"02:00:00:00:AA:01"},)"
                         R"({"hardware_id":"02:00:00:00:AA:02"},{"hardware_id":"02:00:00:00:AA:01"}]}})");
  const auto filters = agent->interfaceFilters();
  // The first IPv4 address of the up interface, once per time it is chosen; the down one gives nothing.
  ASSERT_EQ(filters.size(), 2u);
  for (const auto& filter : filters) {
    EXPECT_EQ(filter.ip, "10.77.0.5");
    EXPECT_EQ(filter.netmask, "255.255.255.0");
  }
  EXPECT_EQ(lmr::interfaceFiltersBody(filters),
            R"([{"Ip":"10.77.0.5","Mask":"255.255.255.0"},{"Ip":"10.77.0.5","Mask":"255.255.255.0"}])");
}

TEST(InterfaceFilters, ChosenInterfacesGiveTheirFirstAddress) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root for a network namespace";
  const std::string command = std::string("env ") + kInnerVariable + "=1 unshare --net /proc/" +
                              std::to_string(::getpid()) +
                              "/exe --gtest_filter=AgentTest.FiltersInAPrivateNetwork 2>&1";
  const auto [status, output] = testing_support::runCommand(command);
  EXPECT_EQ(status, 0) << output;
  EXPECT_NE(output.find("[  PASSED  ] 1 test"), std::string::npos) << output;
}

TEST_F(AgentTest, AFailingEngineStartGivesFalse) {
  ScopedEnv forced("TVSK_INIT_RESULT", "5");
  auto agent = makeAgent();
  EXPECT_FALSE(agent->startEngine(false));
  agent->stopEngine();
}

}  // namespace
