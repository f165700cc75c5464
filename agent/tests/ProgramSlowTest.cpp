#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <thread>

#include "agent/tests/ProgramRun.h"
#include "testing/temp_dir.h"
#include "testing/wait_until.h"

namespace {

using namespace std::chrono_literals;
using testing_support::ProgramRun;
using testing_support::TempDir;

// The engine server child at its real pace: it checks its agent every 10 s.
TEST(ProgramSlow, EngineServerStopsWithinElevenSecondsOfItsAgentsEnd) {
  TempDir root;
  for (const char* folder : {"appdata", "programdata", "tmp"}) {
    std::filesystem::create_directories(root.path() + "/" + folder);
  }
  ProgramRun agentStandIn("/bin/sleep", {"60"}, {}, root.path() + "/sleep");
  ProgramRun server(LUMORA_PROGRAM, {"--server", "1", "--apid", std::to_string(agentStandIn.pid())},
                    {{"APPDATA", root.path() + "/appdata"},
                     {"PROGRAMDATA", root.path() + "/programdata"},
                     {"TMPDIR", root.path() + "/tmp"},
                     {"LUMORA_APID_POLL_MS", std::nullopt},
                     {"TVSK_HTTP_PORT", std::string("0")},
                     {"TVSK_SERVICE_NAME", "_lumoraSlow" + std::to_string(getpid())},
                     {"TVSK_PLUGIN_DIRS", root.path() + "/no-plugins"}},
                    root.path() + "/server");
  ASSERT_TRUE(server.waitForOutput("TVSK_Initialize(-1,0,1) -> 0", 5s));
  // Past its first check, still serving.
  EXPECT_FALSE(server.waitExit(11s));
  agentStandIn.signal(SIGKILL);
  agentStandIn.waitExit(2s);
  const auto killed = std::chrono::steady_clock::now();
  EXPECT_EQ(server.waitExit(12s), 0);
  EXPECT_LE(std::chrono::steady_clock::now() - killed, 11s);
  EXPECT_NE(server.output().find("TVSK_Uninitialize() -> 0"), std::string::npos);
}

// The address the agent's log last attached to, unless it detached since; empty otherwise.
std::string attachedAddress(const std::string& log) {
  const std::string attached = "Attached to ";
  const size_t at = log.rfind(attached);
  if (at == std::string::npos) return {};
  const size_t detached = log.rfind("Detached from ");
  if (detached != std::string::npos && detached > at) return {};
  const size_t begin = at + attached.size();
  return log.substr(begin, log.find('\n', begin) - begin);
}

// A server answers at "<IPv4>:<port>".
bool accepts(const std::string& address) {
  const size_t colon = address.rfind(':');
  if (colon == std::string::npos) return false;
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_port = htons(static_cast<uint16_t>(std::stoi(address.substr(colon + 1))));
  if (inet_pton(AF_INET, address.substr(0, colon).c_str(), &target.sin_addr) != 1) return false;
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const bool connected = connect(fd, reinterpret_cast<const sockaddr*>(&target), sizeof(target)) == 0;
  close(fd);
  return connected;
}

// A user quits the Hybrid agent and starts it again at once: the new agent ends up attached to an
// engine that lives (its own, or another one on this host), and stays so.
TEST(ProgramSlow, AgentQuitAndStartedAgainEndsAttachedToALiveEngine) {
  TempDir root;
  for (const char* folder : {"appdata", "programdata", "tmp", "runtime"}) {
    std::filesystem::create_directories(root.path() + "/" + folder);
  }
  chmod((root.path() + "/runtime").c_str(), 0700);
  const std::string base = root.path() + "/appdata/Brixel Technologies/lumora";
  std::filesystem::create_directories(base);
  testing_support::writeFile(base + "/config.json", "{\"mode\":4}");
  const std::map<std::string, std::optional<std::string>> env{{"APPDATA", root.path() + "/appdata"},
                                                              {"PROGRAMDATA", root.path() + "/programdata"},
                                                              {"TMPDIR", root.path() + "/tmp"},
                                                              {"XDG_RUNTIME_DIR", root.path() + "/runtime"},
                                                              {"LUMORA_APID_POLL_MS", std::nullopt},
                                                              {"TVSK_HTTP_PORT", std::string("0")},
                                                              {"TVSK_SERVICE_NAME",
                                                               "_lumoraQ" + std::to_string(getpid())},
                                                              {"TVSK_PLUGIN_DIRS", root.path() + "/no-plugins"}};
  ProgramRun first(LUMORA_PROGRAM, {}, env, root.path() + "/first");
  ASSERT_TRUE(testing_support::waitUntil([&] { return accepts(attachedAddress(first.output())); }, 20s))
      << first.output();
  // A quit from the menu ends the agent's event loop before the user can start it again; a signal
  // is taken later. Like the menu's quit: the first agent has stopped taking new agents' messages
  // (its single-instance socket is gone) when the second starts, else the second only asks the
  // quitting one to open its web app.
  const std::string guardSocket = root.path() + "/runtime/lumora_agent_singleton";
  ASSERT_TRUE(std::filesystem::exists(guardSocket));
  first.signal(SIGTERM);
  ASSERT_TRUE(testing_support::waitUntil([&] { return !std::filesystem::exists(guardSocket); }, 5s));
  const auto restarted = std::chrono::steady_clock::now();
  ProgramRun second(LUMORA_PROGRAM, {}, env, root.path() + "/second");
  EXPECT_EQ(first.waitExit(5s), 0);
  // Once attached to a live engine, it must still be after a few seconds.
  std::string address;
  ASSERT_TRUE(testing_support::waitUntil(
      [&] {
        address = attachedAddress(second.output());
        return accepts(address);
      },
      25s))
      << second.output();
  const auto took = std::chrono::steady_clock::now() - restarted;
  std::printf("quit and restart to attached to a live engine: %lld ms\n",
              static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
  std::this_thread::sleep_for(3s);
  EXPECT_TRUE(accepts(attachedAddress(second.output()))) << second.output();
  second.signal(SIGTERM);
  EXPECT_EQ(second.waitExit(5s), 0);
}

}  // namespace
