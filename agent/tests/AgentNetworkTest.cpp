// The agent's search on networks as users have them: a server seen on two interfaces, a network
// without a gateway whose host name maps to 127.0.1.1, an avahi-daemon that starts after the
// agent or restarts under it. Each case runs in a network, mount and pid namespace of its own
// (made by its outer case below) with its own bus, interfaces and avahi-daemon, which the case
// starts itself.
#include <QProcess>

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>

#include "agent/tests/AvahiPublication.h"
#include "agent/tests/NetworkFixture.h"
#include "testing/avahi_daemon.h"
#include "testing/count_of.h"
#include "testing/run_command.h"
#include "testing/stdout_capture.h"
#include "testing/temp_dir.h"
#include "testing/wait_until.h"

namespace {

using namespace std::chrono_literals;
using agent_testing::AgentTest;
using agent_testing::Clock;
using agent_testing::kInnerVariable;
using agent_testing::millisecondsSince;
using agent_testing::Network;
using agent_testing::NetworkInner;
using agent_testing::Publication;
using agent_testing::run;
using lmr::Agent;
using testing_support::StdoutCapture;
using testing_support::waitUntil;

// One server on lo and on a second interface: the second going down leaves the agent attached.
TEST_F(NetworkInner, ServerOnTwoInterfacesKeepsTheAgentWhenOneGoes) {
  addInterface("lmra0", "10.77.0.1");
  startAvahi("lo,lmra0");
  auto agent = makeAgent(R"({"mode":2,"server":{"ip":"127.0.0.1"}})");
  agent->startSearch();
  const std::string server = name("two");
  Publication publication(server, 8612, false);
  // Attached to one instance, the other one reported too.
  ASSERT_TRUE(waitUntil([&] { return count(":8612") >= 2; }, 10s));
  ASSERT_EQ(agent->attachedName(), server);

  const auto down = Clock::now();
  ASSERT_TRUE(run("ip link set lmra0 down"));
  ASSERT_TRUE(waitUntil([&] { return instances(*agent, server) < 2 || detached(); }, 10s));
  const long long removed = millisecondsSince(down);
  std::this_thread::sleep_for(300ms);
  EXPECT_FALSE(detached()) << ::testing::PrintToString(listener.events());
  EXPECT_EQ(agent->attachedName(), server);
  EXPECT_EQ(agent->attachedAddress(), "127.0.0.1:8612");
  std::cerr << "measured: second interface down to its instance gone, agent still attached: " << removed << " ms\n";
}

// A Master on a network without a gateway (a new namespace has no routes) takes the first interface's address as its
// own and accepts its server at any of its interfaces' addresses.
TEST_F(NetworkInner, MasterWithoutGatewayAttachesToItsOwnServer) {
  useDebianHostsFile();
  addInterface("lmra0", "10.77.0.1");
  addInterface("lmrb0", "10.88.0.1");
  startAvahi("lmra0,lmrb0");
  auto agent = makeAgent(R"({"mode":1})");
  agent->startSearch();
  EXPECT_EQ(agent->browserListener()->ownAddress(), "10.77.0.1");
  const std::string server = name("master");
  Publication publication(server, 8613, true);
  // Reported on both interfaces: attached to one, the other one ignored.
  ASSERT_TRUE(waitUntil([&] { return count(":8613") >= 2; }, 10s));
  EXPECT_EQ(agent->attachedName(), server);
  EXPECT_EQ(log_.find("because we are the master"), std::string::npos);
  EXPECT_NE(log_.find("Attached to 10."), std::string::npos);
}

// The agent starts while avahi-daemon does not run yet; its search starts once the daemon does.
TEST_F(NetworkInner, SearchStartsOnceAvahiRunsLate) {
  auto agent = makeAgent(R"({"mode":2,"server":{"ip":"127.0.0.1"}})");
  agent->startSearch();
  ASSERT_TRUE(waitUntil([&] { return count("DNSServiceBrowse() failed (-65537)") == 1; }, 2s));
  std::this_thread::sleep_for(1500ms);

  const auto start = Clock::now();
  startAvahi("lo");
  const std::string server = name("late");
  Publication publication(server, 8614, false);
  ASSERT_TRUE(waitUntil([&] { return agent->attachedName() == server; }, 15s));
  const long long attached = millisecondsSince(start);
  EXPECT_TRUE(listener.waitFor("attached 127.0.0.1:8614", 1s));
  std::cerr << "measured: avahi started late to \"Attached to\": " << attached << " ms\n";
}

// The engine's advertisement and the agent's search both outlive a restart of avahi-daemon: the
// agent attaches again to the same engine.
TEST_F(NetworkInner, AttachedAgainAfterAvahiRestarts) {
  startAvahi("lo");
  const std::string server = name("engine");
  testing_support::ScopedEnv serviceName("TVSK_SERVICE_NAME", server);
  testing_support::ScopedEnv pluginDirs("TVSK_PLUGIN_DIRS", dir_.path());
  testing_support::ScopedEnv httpPort("TVSK_HTTP_PORT", "0");
  testing_support::ScopedEnv devices("TVSK_DEVICES_FILE", std::nullopt);
  auto agent = makeAgent(R"({"mode":2,"server":{"ip":"127.0.0.1"}})");
  ASSERT_TRUE(agent->startEngine(false));
  agent->startSearch();
  ASSERT_TRUE(waitUntil([&] { return agent->attachedName() == server; }, 10s));
  const std::string address = agent->attachedAddress();

  ASSERT_TRUE(testing_support::stopAvahiDaemon());
  ASSERT_TRUE(waitUntil([&] { return reports("detached " + address) == 1; }, 10s));
  std::this_thread::sleep_for(1500ms);  // long enough for refused attempts on both sides
  const auto start = Clock::now();
  startAvahi("lo");
  ASSERT_TRUE(waitUntil([&] { return reports("attached " + address) == 2; }, 20s))
      << ::testing::PrintToString(listener.events());
  const long long attached = millisecondsSince(start);
  EXPECT_EQ(agent->attachedName(), server);
  EXPECT_EQ(count("Attached to " + address + "\n"), 2);
  agent->stopEngine();
  std::cerr << "measured: avahi restarted to \"Attached to\" the same engine again: " << attached << " ms\n";
}

TEST_P(Network, InItsOwnNamespace) {
  if (std::getenv("LUMORA_TEST_NAMESPACE") == nullptr || ::geteuid() != 0) {
    GTEST_SKIP() << "needs root inside the test namespace";
  }
  // By its path: the new /proc shows the new pid namespace only.
  const std::string command = std::string("env ") + kInnerVariable + "=1 unshare --net --mount --pid --fork " +
                              "--mount-proc " + std::filesystem::read_symlink("/proc/self/exe").string() +
                              " --gtest_filter=NetworkInner." + GetParam() + " 2>&1";
  const auto [status, output] = testing_support::runCommand(command);
  for (const std::string& line : testing_support::splitLines(output)) {
    if (line.find("measured: ") != std::string::npos) std::cout << line.substr(line.find("measured: ")) << "\n";
  }
  EXPECT_EQ(status, 0) << output;
  EXPECT_NE(output.find("[  PASSED  ] 1 test"), std::string::npos) << output;
}

INSTANTIATE_TEST_SUITE_P(Agent, Network,
                         ::testing::Values("ServerOnTwoInterfacesKeepsTheAgentWhenOneGoes",
                                           "MasterWithoutGatewayAttachesToItsOwnServer",
                                           "SearchStartsOnceAvahiRunsLate", "AttachedAgainAfterAvahiRestarts"),
                         [](const ::testing::TestParamInfo<const char*>& info) { return std::string(info.param); });

}  // namespace
