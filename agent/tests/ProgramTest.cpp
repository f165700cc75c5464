#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "agent/src/Config.h"
#include "agent/tests/OtherUserSocket.h"
#include "agent/tests/ProgramRun.h"
#include "testing/count_of.h"
#include "testing/run_command.h"
#include "testing/temp_dir.h"
#include "testing/wait_until.h"

namespace {

using namespace std::chrono_literals;
using testing_support::ProgramRun;
using testing_support::TempDir;
using Clock = std::chrono::steady_clock;

const std::string kBannerEnd = "\033[0m";

// The LUMORA program in a private set of folders: its own APPDATA, PROGRAMDATA, TMPDIR and
// XDG_RUNTIME_DIR, and an engine advertised under a name of this test's own.
class ProgramTest : public ::testing::Test {
 protected:
  ProgramTest() {
    for (const char* folder : {"appdata", "programdata", "tmp", "runtime"}) {
      std::filesystem::create_directories(root.path() + "/" + folder);
    }
    chmod((root.path() + "/runtime").c_str(), 0700);
  }

  std::map<std::string, std::optional<std::string>> environment() const {
    return {{"APPDATA", root.path() + "/appdata"},
            {"PROGRAMDATA", root.path() + "/programdata"},
            {"TMPDIR", root.path() + "/tmp"},
            {"XDG_RUNTIME_DIR", root.path() + "/runtime"},
            {"TVSK_HTTP_PORT", std::string("0")},
            {"TVSK_SERVICE_NAME", "_lumoraT" + std::to_string(getpid())},
            {"TVSK_PLUGIN_DIRS", root.path() + "/no-plugins"}};
  }

  // Agent mode in config.json; 3 names no mode, so a tray agent neither searches nor starts an engine.
  void writeMode(int mode) {
    const std::string base = root.path() + "/appdata/Brixel Technologies/lumora";
    std::filesystem::create_directories(base);
    testing_support::writeFile(base + "/config.json", "{\"mode\":" + std::to_string(mode) + "}");
  }

  std::unique_ptr<ProgramRun> run(const std::vector<std::string>& arguments,
                                  std::map<std::string, std::optional<std::string>> extra = {}) {
    auto env = environment();
    for (auto& [name, value] : extra) env[name] = value;
    return std::make_unique<ProgramRun>(LUMORA_PROGRAM, arguments, env, root.path() + "/run" + std::to_string(++runs));
  }

  TempDir root;
  int runs = 0;
};

// Texts in order within the output.
bool inOrder(const std::string& output, const std::vector<std::string>& texts) {
  size_t at = 0;
  for (const std::string& text : texts) {
    at = output.find(text, at);
    if (at == std::string::npos) return false;
    at += text.size();
  }
  return true;
}

TEST_F(ProgramTest, ServerRoleWithoutAgentStopsTheEngineAtOnceEvenWithoutDisplay) {
  const auto started = Clock::now();
  auto server = run({"--server", "1"},
                    {{"DISPLAY", std::nullopt}, {"WAYLAND_DISPLAY", std::nullopt}, {"QT_QPA_PLATFORM", std::nullopt}});
  ASSERT_EQ(server->waitExit(5s), 0) << server->output() << server->errors();
  EXPECT_LT(Clock::now() - started, 2s);
  EXPECT_TRUE(inOrder(server->output(), {"TVSK_Initialize(-1,0,1) -> 0", "TVSK_Uninitialize() -> 0"}))
      << server->output();
}

TEST_F(ProgramTest, MasterOptionStartsARole3Engine) {
  auto server = run({"--server", "1", "--master", "1"});
  ASSERT_EQ(server->waitExit(5s), 0) << server->errors();
  EXPECT_TRUE(inOrder(server->output(), {"TVSK_Initialize(-1,0,3) -> 0", "TVSK_Uninitialize() -> 0"}))
      << server->output();
}

TEST_F(ProgramTest, ServerOptionWinsOverServerdAndEqualsFormWorks) {
  auto server = run({"--server=1", "--serverd", "1"});
  ASSERT_EQ(server->waitExit(5s), 0) << server->errors();
  EXPECT_TRUE(inOrder(server->output(), {"TVSK_Initialize(-1,0,1) -> 0", "TVSK_Uninitialize() -> 0"}));
}

TEST_F(ProgramTest, EngineStartFailureInAServerRoleIsLoggedAndExits1) {
  for (const char* role : {"--server", "--serverd"}) {
    auto server = run({role, "1"}, {{"TVSK_INIT_RESULT", std::string("-7")}});
    EXPECT_EQ(server->waitExit(5s), 1) << role << server->output();
    EXPECT_NE(server->output().find("Failed to start the LUMORA engine"), std::string::npos) << server->output();
  }
}

TEST_F(ProgramTest, UnknownOptionIsRefused) {
  auto program = run({"--frob", "1"});
  EXPECT_EQ(program->waitExit(5s), 1);
  EXPECT_NE(program->errors().find("Unknown option 'frob'."), std::string::npos) << program->errors();
}

TEST_F(ProgramTest, OptionWithoutValueIsRefused) {
  auto program = run({"--server"});
  EXPECT_EQ(program->waitExit(5s), 1);
  EXPECT_NE(program->errors().find("Missing value after '--server'."), std::string::npos) << program->errors();
}

TEST_F(ProgramTest, ConsoleServerRunsUntilSigtermOrSigintAndStopsItsEngine) {
  for (const int stopSignal : {SIGTERM, SIGINT}) {
    auto server = run({"--serverd", "1"});
    ASSERT_TRUE(server->waitForOutput("TVSK_Initialize(-1,0,1) -> 0", 5s)) << server->output() << server->errors();
    EXPECT_FALSE(server->waitExit(300ms));
    server->signal(stopSignal);
    EXPECT_EQ(server->waitExit(5s), 0);
    EXPECT_NE(server->output().find("TVSK_Uninitialize() -> 0"), std::string::npos) << server->output();
  }
}

TEST_F(ProgramTest, EngineServerRunsWhileItsAgentLives) {
  ProgramRun agentStandIn("/bin/sleep", {"60"}, {}, root.path() + "/sleep");
  auto server = run({"--server", "1", "--apid", std::to_string(agentStandIn.pid())},
                    {{"LUMORA_APID_POLL_MS", std::string("100")}});
  ASSERT_TRUE(server->waitForOutput("TVSK_Initialize(-1,0,1) -> 0", 5s));
  EXPECT_FALSE(server->waitExit(1s));
  EXPECT_EQ(server->output().find("TVSK_Uninitialize"), std::string::npos);
  agentStandIn.signal(SIGKILL);
  agentStandIn.waitExit(2s);
  EXPECT_EQ(server->waitExit(2s), 0);
  EXPECT_NE(server->output().find("TVSK_Uninitialize() -> 0"), std::string::npos);
}

// The agent's lifeline ends: the engine stops at once, long before its next agent check.
TEST_F(ProgramTest, EngineServerStopsTheMomentItsAgentsLifelineEnds) {
  ProgramRun agentStandIn("/bin/sleep", {"60"}, {}, root.path() + "/sleep");
  int lifeline[2];
  ASSERT_EQ(pipe2(lifeline, 0), 0);
  fcntl(lifeline[1], F_SETFD, FD_CLOEXEC);
  auto server = run({"--server", "1", "--apid", std::to_string(agentStandIn.pid())},
                    {{"LUMORA_APID_POLL_MS", std::nullopt}, {"LUMORA_AGENT_LIFELINE_FD", std::to_string(lifeline[0])}});
  close(lifeline[0]);
  ASSERT_TRUE(server->waitForOutput("TVSK_Initialize(-1,0,1) -> 0", 5s)) << server->output() << server->errors();
  EXPECT_FALSE(server->waitExit(500ms));
  const auto cut = Clock::now();
  close(lifeline[1]);
  EXPECT_EQ(server->waitExit(5s), 0);
  EXPECT_LT(Clock::now() - cut, 1s);
  EXPECT_NE(server->output().find("TVSK_Uninitialize() -> 0"), std::string::npos) << server->output();
}

// Id of the engine server child started by the agent with this process id; 0 when none runs.
pid_t engineChildOf(pid_t agent) {
  const std::string wanted = std::string("--apid") + '\0' + std::to_string(agent) + '\0';
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    if (testing_support::readFile(entry.path().string() + "/cmdline").find(wanted) != std::string::npos) {
      return static_cast<pid_t>(std::stol(name));
    }
  }
  return 0;
}

TEST_F(ProgramTest, TrayAgentStopsItsEngineOnSigtermAndAStopDuringTheSplashStartsNone) {
  // Master: its own engine at once, whatever other engines this host advertises.
  writeMode(1);
  auto agent = run({});
  ASSERT_TRUE(agent->waitForOutput("TVSK_Initialize(-1,0,3) -> 0", 10s)) << agent->output() << agent->errors();
  const pid_t engine = engineChildOf(agent->pid());
  ASSERT_GT(engine, 0);
  agent->signal(SIGTERM);
  const auto stopped = Clock::now();
  EXPECT_EQ(agent->waitExit(5s), 0);
  EXPECT_TRUE(testing_support::waitUntil([&] { return kill(engine, 0) != 0; }, 2s));
  EXPECT_LT(Clock::now() - stopped, 2s);
  EXPECT_NE(agent->output().find("TVSK_Uninitialize() -> 0"), std::string::npos) << agent->output();

  // A Hybrid agent stopped while its splash still searches ends at once and starts no engine.
  writeMode(4);
  auto searching = run({});
  ASSERT_TRUE(searching->waitForOutput("Looking for LUMORA Engine", 10s)) << searching->output();
  searching->signal(SIGINT);
  const auto interrupted = Clock::now();
  EXPECT_EQ(searching->waitExit(5s), 0);
  EXPECT_LT(Clock::now() - interrupted, 1500ms);
  std::this_thread::sleep_for(4s);  // past the sequence's own engine start
  EXPECT_EQ(searching->output().find("Engine process has started"), std::string::npos) << searching->output();
}

// Two agents started at the same moment: exactly one stays (LUMORA_TEST_ROUNDS runs more rounds).
TEST_F(ProgramTest, OfTwoAgentsStartedTogetherExactlyOneRuns) {
  writeMode(3);
  const char* roundsText = std::getenv("LUMORA_TEST_ROUNDS");
  const int rounds = roundsText != nullptr ? std::atoi(roundsText) : 3;
  int exactlyOne = 0;
  for (int round = 0; round < rounds; ++round) {
    auto first = run({});
    auto second = run({});
    testing_support::waitUntil([&] { return !first->running() || !second->running(); }, 5s);
    std::this_thread::sleep_for(500ms);
    const int runningAgents = (first->running() ? 1 : 0) + (second->running() ? 1 : 0);
    EXPECT_EQ(runningAgents, 1) << "round " << round;
    exactlyOne += runningAgents == 1 ? 1 : 0;
    for (ProgramRun* agent : {first.get(), second.get()}) {
      agent->signal(SIGTERM);
      EXPECT_TRUE(agent->waitExit(5s));
    }
  }
  std::printf("exactly one agent ran in %d of %d rounds\n", exactlyOne, rounds);
}

TEST_F(ProgramTest, ANonNumericApidMeansNoAgent) {
  auto server = run({"--server", "1", "--apid", "pid"});
  EXPECT_EQ(server->waitExit(5s), 0);
}

TEST_F(ProgramTest, TrayAgentWithoutDisplaySaysWhatToDoAndExits1) {
  writeMode(3);
  auto agent =
      run({}, {{"DISPLAY", std::nullopt}, {"WAYLAND_DISPLAY", std::nullopt}, {"QT_QPA_PLATFORM", std::nullopt}});
  ASSERT_EQ(agent->waitExit(10s), 1) << agent->output() << agent->errors();
  EXPECT_EQ(agent->errors(),
            "No display: the tray agent needs a desktop (DISPLAY or WAYLAND_DISPLAY); "
            "start the console server with --serverd 1\n");
  EXPECT_EQ(agent->output(), "");
}

// Options that name no server role leave the tray agent, which refuses to run without a display.
TEST_F(ProgramTest, OptionsThatNameNoServerRoleGetTheNoDisplayRefusal) {
  writeMode(1);
  const std::vector<std::vector<std::string>> forms = {{"--serverd", "0"},
                                                       {"--server", "abc"},
                                                       {"--server", "4294967296"},
                                                       {"--serverd=4294967296"},
                                                       {"--server", "0", "--serverd", "1"}};
  for (const auto& form : forms) {
    auto agent =
        run(form, {{"DISPLAY", std::nullopt}, {"WAYLAND_DISPLAY", std::nullopt}, {"QT_QPA_PLATFORM", std::nullopt}});
    ASSERT_EQ(agent->waitExit(10s), 1) << form[0] << " " << agent->output() << agent->errors();
    EXPECT_EQ(agent->errors().rfind("No display: the tray agent needs a desktop", 0), 0u) << agent->errors();
    EXPECT_EQ(agent->output().find("TVSK_Initialize"), std::string::npos) << agent->output();
  }
}

TEST_F(ProgramTest, TrayPathPrintsTheBannerByteForByte) {
  writeMode(3);
  // serverd 0 is no server role.
  auto agent = run({"--serverd", "0"});
  ASSERT_TRUE(agent->waitForOutput(kBannerEnd, 10s)) << agent->output() << agent->errors();
  const std::string golden = testing_support::readFile(LUMORA_TEST_DATA_DIR "/banner.golden");
  ASSERT_FALSE(golden.empty());
  EXPECT_EQ(agent->output().substr(0, golden.size()), golden);
  EXPECT_TRUE(std::filesystem::exists(root.path() + "/runtime/lumora_agent_singleton"));
}

// The web page of the engine whose start the output reports, fetched once the output holds it.
std::string enginePage(const ProgramRun& program) {
  const std::string marker = "web application at ";
  std::string url;
  testing_support::waitUntil(
      [&] {
        const std::string output = program.output();
        const size_t at = output.find(marker);
        if (at == std::string::npos) return false;
        url = output.substr(at + marker.size(), output.find_first_of(" \n", at + marker.size()) - at - marker.size());
        return true;
      },
      10s);
  if (url.empty()) return {};
  return testing_support::runCommand("curl -sf --max-time 5 " + testing_support::shellWord(url)).output;
}

// Unticking a plug-in in the settings (saved as the dialog saves it) keeps the engine that the next
// agent start runs from loading it; ticking it again brings it back.
TEST_F(ProgramTest, PluginTurnedOffInTheSettingsIsNotLoadedAfterARestart) {
  writeMode(1);  // Master: an engine of its own at once
  const std::map<std::string, std::optional<std::string>> plugins = {{"TVSK_PLUGIN_DIRS", VEXTRO_PLUGIN_DIR}};
  testing_support::ScopedEnv appData("APPDATA", root.path() + "/appdata");
  testing_support::ScopedEnv pluginDirs("TVSK_PLUGIN_DIRS", VEXTRO_PLUGIN_DIR);
  const std::string pluginTag = "<span class=\"plugin\">vextro ";
  for (const bool enabled : {false, true}) {
    lmr::Config& config = lmr::Config::instance();
    config.load();
    std::vector<lmr::PluginEntry> list;
    config.pluginList(list);
    ASSERT_EQ(list.size(), 1u);
    ASSERT_EQ(list[0].name, "vextro.so");
    list[0].enabled = enabled;
    ASSERT_TRUE(config.setPluginTable(list)) << config.saveError();

    auto agent = run({}, plugins);
    ASSERT_TRUE(agent->waitForOutput("TVSK_Initialize(-1,0,3) -> 0", 10s)) << agent->output() << agent->errors();
    const std::string page = enginePage(*agent);
    ASSERT_NE(page.find("Plug-ins"), std::string::npos) << agent->output();
    const std::string output = agent->output();
    if (enabled) {
      EXPECT_NE(output.find("device plug-in vextro"), std::string::npos) << output;
      EXPECT_NE(page.find(pluginTag), std::string::npos) << page;
    } else {
      EXPECT_NE(output.find("vextro.so: turned off in the plug-in choice"), std::string::npos) << output;
      EXPECT_EQ(output.find("device plug-in vextro"), std::string::npos) << output;
      EXPECT_EQ(page.find(pluginTag), std::string::npos) << page;
    }
    agent->signal(SIGTERM);
    EXPECT_EQ(agent->waitExit(5s), 0);

    // The console server of the same user follows the same choice.
    auto console = run({"--serverd", "1"}, plugins);
    ASSERT_TRUE(console->waitForOutput("TVSK_Initialize(-1,0,1) -> 0", 10s)) << console->output();
    EXPECT_EQ(console->output().find("device plug-in vextro") != std::string::npos, enabled) << console->output();
    console->signal(SIGTERM);
    EXPECT_EQ(console->waitExit(5s), 0);
  }
  // The mode written beside the table is still there.
  EXPECT_EQ(lmr::Config::instance().findInt({"mode"}), 1);
}

class SecondInstance : public ProgramTest {
 protected:
  // Starts a tray agent and waits until its guard listens and its tray exists.
  std::unique_ptr<ProgramRun> startFirst() {
    auto first = run({});
    EXPECT_TRUE(first->waitForOutput(kBannerEnd, 10s)) << first->output() << first->errors();
    return first;
  }

  // Times the first agent went to show the web app: without a server it says so in a tray message;
  // other tests' engines on this host may have given it one.
  static size_t webAppRequests(const ProgramRun& first) {
    const std::string output = first.output();
    size_t count = 0;
    for (const char* line :
         {"No Server Yet: LUMORA is running, but no server is attached yet", "Opening the web app at"}) {
      count += testing_support::countOf(output, line);
    }
    return count;
  }

  // A later agent ends at once, having told the first one, and says what the first answered.
  void expectSecondTellsFirst(ProgramRun& first) {
    const size_t before = webAppRequests(first);
    std::string output;
    // The first may still be finishing its start-up (its splash stays a while after attaching to
    // a server), and says so: try again for a while.
    const auto deadline = Clock::now() + 10s;
    while (Clock::now() < deadline) {
      const auto started = Clock::now();
      auto second = run({});
      ASSERT_EQ(second->waitExit(5s), 0) << second->output();
      const auto took = Clock::now() - started;
      EXPECT_LT(took, 2500ms);
      EXPECT_EQ(second->output().find("Lumora Agent"), std::string::npos) << "the second agent printed a banner";
      output = second->output();
      if (output.find("still starting") == std::string::npos) break;
      std::this_thread::sleep_for(300ms);
    }
    const bool noServer = output.find(
                              "A LUMORA agent is already running, but no server is attached to it yet: there "
                              "is no web app to open (its tray says so)") != std::string::npos;
    const bool opened = output.find("A LUMORA agent is already running: it opens its web app") != std::string::npos;
    EXPECT_TRUE(noServer || opened) << output;
    EXPECT_TRUE(testing_support::waitUntil([&] { return webAppRequests(first) > before; }, 2s))
        << "the first agent never heard of the second:\n"
        << first.output();
    if (noServer) {
      EXPECT_NE(first.output().find("No Server Yet: LUMORA is running, but no server is attached yet: the web app "
                                    "opens once one is found"),
                std::string::npos)
          << first.output();
    }
  }
};

TEST_F(SecondInstance, EndsAtOnceAndTheFirstShowsTheWebAppOrSaysItHasNoServer) {
  writeMode(3);
  auto first = startFirst();
  expectSecondTellsFirst(*first);
  EXPECT_TRUE(first->running());
}

TEST_F(SecondInstance, DuringTheFirstAgentsSplashItIsToldTheFirstIsStillStarting) {
  // A Slave agent searches behind its splash for about 4 s and, finding nothing, starts nothing.
  writeMode(2);
  auto first = run({});
  ASSERT_TRUE(first->waitForOutput("Looking for LUMORA Engine", 10s)) << first->output() << first->errors();
  auto second = run({});
  EXPECT_EQ(second->waitExit(5s), 0);
  EXPECT_TRUE(first->running());
  if (first->output().find("Attached to") == std::string::npos) {
    EXPECT_NE(second->output().find("A LUMORA agent is already running and still starting: it opens its web app once "
                                    "it is attached to a server"),
              std::string::npos)
        << second->output();
    EXPECT_EQ(webAppRequests(*first), 0u) << first->output();
  }
  // Once the splash is over, the guard answers as usual. (An engine of another test on this host
  // may keep the splash searching longer; the answer after it is the case above.)
  if (testing_support::waitUntil([&] { return first->output().find("Server Not Found") != std::string::npos; }, 10s) &&
      first->output().find("Attached to") == std::string::npos) {
    expectSecondTellsFirst(*first);
  }
}

// A later agent checks before it opens the display: nothing outside its own bounded waits (no X
// connection, no session bus, whatever their state) can hold it up.
TEST_F(SecondInstance, ALaterAgentOpensNoDisplay) {
  writeMode(3);
  auto first = startFirst();
  const auto started = Clock::now();
  auto second = run({}, {{"QT_QPA_PLATFORM", std::nullopt}, {"DISPLAY", std::string(":987")}});
  ASSERT_EQ(second->waitExit(5s), 0) << second->output() << second->errors();
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started);
  EXPECT_LT(took, 2500ms);
  EXPECT_NE(second->output().find("A LUMORA agent is already running"), std::string::npos) << second->output();
  std::printf("a later agent ended after %lld ms\n", static_cast<long long>(took.count()));
}

// The running agent is quitting while a later one checks in: the later one is not told "already
// running" (which would leave no agent at all) but runs in its place. The first is held stopped
// so that the later one's message is surely waiting when the quit begins.
TEST_F(SecondInstance, AStartWhileTheRunningAgentQuitsRunsInItsPlace) {
  writeMode(3);
  auto first = startFirst();
  first->signal(SIGSTOP);
  auto second = run({});
  std::this_thread::sleep_for(300ms);  // its message now waits in the stopped agent's socket
  first->signal(SIGTERM);
  first->signal(SIGCONT);
  EXPECT_EQ(first->waitExit(5s), 0) << first->output();
  ASSERT_TRUE(second->waitForOutput(kBannerEnd, 10s)) << second->output() << second->errors();
  EXPECT_TRUE(second->running());
  expectSecondTellsFirst(*second);
}

// A quick restart right after SIGTERM finds no agent and runs.
TEST_F(SecondInstance, AQuickRestartAfterSigtermRuns) {
  writeMode(3);
  for (int round = 0; round < 3; ++round) {
    auto first = startFirst();
    first->signal(SIGTERM);
    auto restarted = run({});
    EXPECT_EQ(first->waitExit(5s), 0);
    ASSERT_TRUE(restarted->waitForOutput(kBannerEnd, 10s)) << "round " << round << restarted->output();
    restarted->signal(SIGTERM);
    EXPECT_EQ(restarted->waitExit(5s), 0);
  }
}

// Without a runtime folder, another local user who took the agent's names in the shared temporary
// folder first cannot keep this user's agent from starting.
TEST_F(SecondInstance, NamesSquattedByAnotherUserDoNotStopTheAgent) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  writeMode(3);
  const std::string temp = root.path() + "/tmp";
  ASSERT_EQ(chmod(root.path().c_str(), 0711), 0);
  ASSERT_EQ(chmod(temp.c_str(), 01777), 0);
  const std::string folder = temp + "/lumora-" + std::to_string(geteuid());
  testing_support::OtherUserSocket squatter({folder}, {folder + "/lumora_agent_singleton",
                                                       temp + "/lumora_agent_singleton-" + std::to_string(geteuid())});
  ASSERT_TRUE(squatter.ready());
  auto agent = run({}, {{"XDG_RUNTIME_DIR", std::nullopt}});
  ASSERT_TRUE(agent->waitForOutput(kBannerEnd, 10s)) << agent->output() << agent->errors();
  EXPECT_TRUE(agent->running());
  EXPECT_NE(agent->output().find("No private folder for the single-instance socket (" + folder +
                                 " is not a folder of this user's alone)"),
            std::string::npos)
      << agent->output();
}

TEST_F(SecondInstance, GuardWorksAgainAfterTheFirstWasKilled) {
  writeMode(3);
  auto first = startFirst();
  first->signal(SIGKILL);
  ASSERT_TRUE(first->waitExit(5s));
  // The killed agent's socket file stays behind.
  EXPECT_TRUE(std::filesystem::exists(root.path() + "/runtime/lumora_agent_singleton"));
  auto restarted = startFirst();
  expectSecondTellsFirst(*restarted);
}

}  // namespace
