#include <QCoreApplication>

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <mutex>
#include <thread>

#include "agent/src/SplashWindow.h"
#include "agent/tests/AgentTestSupport.h"
#include "testing/stdout_capture.h"
#include "testing/temp_dir.h"

namespace {

using namespace std::chrono_literals;
using agent_testing::AgentTest;
using agent_testing::waitUntil;
using lmr::Agent;
using testing_support::readFile;
using testing_support::ScopedEnv;
using testing_support::StdoutCapture;
using testing_support::TempDir;
using Texts = std::vector<std::string>;

constexpr auto kTick = 200ms;
// Slack for a loaded machine: sleeps never end early, but may end late.
constexpr auto kSlack = 150ms;

// Records the messages the connect sequence posts.
class RecordingWindow : public QBXSplashWindow::IWindow {
 public:
  void setMessage(const QString& text) override {
    std::lock_guard<std::mutex> lock(mutex_);
    messages_.push_back(text.toStdString());
  }
  int runWorker() override { return 0; }
  [[nodiscard]] Texts messages() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
  }

 private:
  mutable std::mutex mutex_;
  Texts messages_;
};

class SequenceTest : public AgentTest {
 protected:
  std::unique_ptr<Agent> makeSequenceAgent(int mode) {
    auto agent = makeAgent(R"({"mode":)" + std::to_string(mode) + R"(,"server":{"ip":"10.0.0.1"}})");
    agent->setTickPeriod(kTick);
    agent->setWatchdogPeriod(50ms);
    agent->setEngineProgram(FAKE_ENGINE_PROGRAM);
    return agent;
  }
  // Runs the sequence; returns how long it took.
  std::chrono::steady_clock::duration runSequence(Agent& agent) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(agent.connectSequence(&window), 0);
    return std::chrono::steady_clock::now() - start;
  }
  std::string argsFile() const { return files.path() + "/args"; }
  std::string ownPid() const { return std::to_string(QCoreApplication::applicationPid()); }
  void TearDown() override {
    if (engine > 0) ::kill(static_cast<pid_t>(engine), SIGKILL);
  }

  RecordingWindow window;
  TempDir files;
  ScopedEnv argsVariable{"FAKE_ENGINE_ARGS_FILE", argsFile()};
  int64_t engine = 0;
};

TEST_F(SequenceTest, SlaveWithoutServerNotifiesAfterTheFourthRound) {
  auto agent = makeSequenceAgent(2);
  StdoutCapture capture;
  const auto took = runSequence(*agent);
  EXPECT_GE(took, 4 * kTick);
  EXPECT_LT(took, 4 * kTick + kSlack);
  EXPECT_EQ(listener.events(), Texts{"notification Could not find LUMORA server in the network"});
  EXPECT_EQ(window.messages(), Texts{"Slave: Looking for LUMORA Server in the network..."});
  const std::string log = capture.take();
  EXPECT_NE(log.find("Looking for LUMORA Engine in the network...\n"), std::string::npos);
  EXPECT_NE(log.find("Could not find LUMORA engine in the network\n"), std::string::npos);
  EXPECT_EQ(agent->enginePid(), 0);
  EXPECT_EQ(readFile(argsFile()), "");
}

TEST_F(SequenceTest, HybridWithoutServerStartsItsOwnEngine) {
  auto agent = makeSequenceAgent(4);
  StdoutCapture capture;
  const auto took = runSequence(*agent);
  engine = agent->enginePid();
  EXPECT_GE(took, 16 * kTick);
  EXPECT_GT(engine, 0);
  EXPECT_EQ(readFile(argsFile()), "--server 1 --apid " + ownPid() + "\n");
  EXPECT_EQ(window.messages(), (Texts{"Hybrid: Looking for LUMORA Server in the network...",
                                      "Starting LUMORA local server. Please wait..."}));
  EXPECT_TRUE(listener.events().empty());
  EXPECT_NE(capture.take().find("Starting LUMORA Engine process as agent mode has been set to \"Hybrid\"\n"),
            std::string::npos);
  EXPECT_FALSE(agent->canStartLocalServer());
}

TEST_F(SequenceTest, HybridEndsOnceAttachedAfterRoundThree) {
  auto agent = makeSequenceAgent(4);
  Agent::BrowserListener browser(agent.get());
  std::thread late([&] {
    std::this_thread::sleep_for(kTick * 6 + kTick / 2);
    browser.service_resolved(1, "_lumoraL", "_http._tcp.", "h.local.", "10.0.0.7", 7, {});
  });
  const auto took = runSequence(*agent);
  late.join();
  engine = agent->enginePid();
  // Attached in round 6 (> 3): the sequence ends there.
  EXPECT_LT(took, 9 * kTick);
  EXPECT_EQ(window.messages().back(), "Connected to LUMORA server. Please wait...");
}

// The server it attached to goes (its agent quit) after the splash, and no other shows up.
TEST_F(SequenceTest, HybridThatLosesItsServerStartsItsOwnAfterTheSearchTime) {
  auto agent = makeSequenceAgent(4);
  Agent::BrowserListener browser(agent.get());
  browser.service_resolved(1, "_lumoraOther", "_http._tcp.", "h.local.", "10.0.0.7", 7, {});
  runSequence(*agent);
  EXPECT_EQ(agent->enginePid(), 0);
  StdoutCapture capture;
  browser.service_removed(1, "_lumoraOther", "_http._tcp.");
  const auto lost = std::chrono::steady_clock::now();
  // The search time ends where the agent decides to start its own engine; how long the process
  // then takes to start is the machine's load, not the agent's timing.
  std::string log;
  ASSERT_TRUE(waitUntil(
      [&] {
        log += capture.take();
        return log.find("Starting LUMORA Engine process as agent mode has been set to \"Hybrid\"\n") !=
               std::string::npos;
      },
      4s));
  const auto took = std::chrono::steady_clock::now() - lost;
  // Four rounds without a server, the first of them partly before the loss.
  EXPECT_GE(took, 3 * kTick);
  EXPECT_LT(took, 4 * kTick + kSlack);
  EXPECT_NE(log.find("Could not find LUMORA engine in the network\n"), std::string::npos) << log;
  ASSERT_TRUE(waitUntil([&] { return !readFile(argsFile()).empty(); }, 4s));
  // The fake engine writes its arguments as it starts, which may be before the agent stored its id.
  ASSERT_TRUE(waitUntil([&] { return (engine = agent->enginePid()) > 0; }, 4s));
  EXPECT_EQ(readFile(argsFile()), "--server 1 --apid " + ownPid() + "\n");
  // A server seen again within the search time starts nothing.
  agent->setEngineProgram(QString::fromStdString(files.path() + "/no-such-program"));
  browser.service_resolved(1, "_lumoraOther", "_http._tcp.", "h.local.", "10.0.0.7", 7, {});
  browser.service_removed(1, "_lumoraOther", "_http._tcp.");
  std::this_thread::sleep_for(6 * kTick);
  EXPECT_EQ(agent->enginePid(), engine);
}

// Quit during the splash: the sequence ends within a tick and no engine starts after it.
TEST_F(SequenceTest, AStopRequestEndsTheSequenceAndStartsNoEngine) {
  for (int mode : {2, 4}) {
    auto agent = makeSequenceAgent(mode);
    std::thread quit([&] {
      std::this_thread::sleep_for(kTick + kTick / 2);
      agent->requestStop();
    });
    const auto took = runSequence(*agent);
    quit.join();
    EXPECT_LT(took, 2 * kTick) << mode;
    std::this_thread::sleep_for(3 * kTick);
    agent->startEngineProcess(false);
    EXPECT_EQ(agent->enginePid(), 0) << mode;
  }
  EXPECT_EQ(readFile(argsFile()), "");
}

TEST_F(SequenceTest, MasterStartsItsEngineAtOnce) {
  auto agent = makeSequenceAgent(1);
  StdoutCapture capture;
  std::chrono::steady_clock::duration seen{};
  std::thread watcher([&] {
    const auto start = std::chrono::steady_clock::now();
    waitUntil([&] { return !readFile(argsFile()).empty(); }, 2s);
    seen = std::chrono::steady_clock::now() - start;
  });
  const auto took = runSequence(*agent);
  watcher.join();
  engine = agent->enginePid();
  // Started before the wait, not after it (the program itself may take a while to come up).
  EXPECT_LT(seen, took - 2 * kTick);
  EXPECT_GE(took, 4 * kTick);
  EXPECT_LT(took, 4 * kTick + kSlack);
  EXPECT_EQ(readFile(argsFile()), "--server 1 --apid " + ownPid() + " --master 1\n");
  EXPECT_EQ(window.messages(), Texts{"Master: Creating LUMORA local server in the network..."});
  EXPECT_NE(capture.take().find("Starting LUMORA Engine process as agent mode has been set to \"Master\"\n"),
            std::string::npos);
}

TEST_F(SequenceTest, OtherModesReturnAtOnce) {
  for (int mode : {0, 3, 8}) {
    auto agent = makeSequenceAgent(mode);
    EXPECT_LT(runSequence(*agent), kTick) << mode;
    EXPECT_TRUE(window.messages().empty());
    EXPECT_EQ(agent->enginePid(), 0);
    EXPECT_FALSE(agent->canStartLocalServer());
  }
  EXPECT_EQ(readFile(argsFile()), "");
}

TEST_F(SequenceTest, SlaveFindingAServerWaitsFiveRounds) {
  auto agent = makeSequenceAgent(2);
  Agent::BrowserListener browser(agent.get());
  browser.service_resolved(1, "_lumoraS", "_http._tcp.", "h.local.", "10.0.0.7", 7, {});
  const auto took = runSequence(*agent);
  EXPECT_GE(took, 5 * kTick);
  EXPECT_LT(took, 5 * kTick + kSlack);
  EXPECT_EQ(window.messages().size(), 6u);
  EXPECT_EQ(window.messages().back(), "Connected to LUMORA server. Please wait...");
  EXPECT_EQ(listener.events(), Texts{"attached 10.0.0.7:7"});
}

}  // namespace
