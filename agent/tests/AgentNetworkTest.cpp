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

#include "agent/tests/AgentTestSupport.h"
#include "testing/avahi_daemon.h"
#include "testing/count_of.h"
#include "testing/run_command.h"
#include "testing/stdout_capture.h"
#include "testing/temp_dir.h"
#include "testing/wait_until.h"

namespace {

using namespace std::chrono_literals;
using agent_testing::AgentTest;
using lmr::Agent;
using testing_support::StdoutCapture;
using testing_support::waitUntil;
using Clock = std::chrono::steady_clock;

constexpr const char* kInnerVariable = "LUMORA_AGENT_NETWORK_INNER";

long long millisecondsSince(Clock::time_point start) {
  return static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

bool run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

std::string hostName() {
  char name[256] = {};
  ::gethostname(name, sizeof(name) - 1);
  return name;
}

// An avahi-publish process announcing one engine-like service; withdrawn on destruction.
class Publication {
 public:
  Publication(const std::string& name, uint16_t port, bool master) {
    QStringList arguments{"-s", QString::fromStdString(name), "_http._tcp", QString::number(port)};
    if (master) arguments << "master:1";
    arguments << "--subtype=_ravenna._sub._http._tcp";
    process_.start("avahi-publish", arguments);
    process_.waitForStarted(3000);
  }
  ~Publication() {
    process_.terminate();
    if (!process_.waitForFinished(3000)) process_.kill();
    process_.waitForFinished(3000);
  }
  Publication(const Publication&) = delete;
  Publication& operator=(const Publication&) = delete;

 private:
  QProcess process_;
};

class NetworkInner : public AgentTest {
 protected:
  void SetUp() override {
    if (std::getenv(kInnerVariable) == nullptr) GTEST_SKIP() << "runs only inside its own namespace";
    ASSERT_TRUE(run("ip link set lo up && ip link set lo multicast on"));
    for (const char* dir : {"/run/dbus", "/run/avahi-daemon"}) {
      ASSERT_TRUE(run(std::string("mkdir -p ") + dir + " && mount -t tmpfs -o mode=0755 tmpfs " + dir));
    }
    run("chown avahi:avahi /run/avahi-daemon");
    ASSERT_TRUE(run("dbus-daemon --system --fork --nopidfile"));
  }
  // What the agent and the test wrote while captured, where the outer case shows it.
  void TearDown() override {
    if (HasFailure()) std::cerr << log_ << capture_.take();
  }

  // A veth pair, both ends up, whose first end carries address/24.
  static void addInterface(const std::string& name, const std::string& address) {
    ASSERT_TRUE(run("ip link add " + name + " type veth peer name " + name + "p && ip addr add " + address +
                    "/24 dev " + name + " && ip link set " + name + "p up && ip link set " + name + " up"));
  }

  // The host name maps to 127.0.1.1, as Debian's installer writes it.
  void useDebianHostsFile() {
    const std::string hosts = dir_.path() + "/hosts";
    testing_support::writeFile(hosts, "127.0.0.1 localhost\n127.0.1.1 " + hostName() + "\n");
    ASSERT_TRUE(run("mount --bind " + hosts + " /etc/hosts"));
  }

  // Starts avahi-daemon for IPv4 on the listed interfaces and waits until it answers.
  void startAvahi(const std::string& interfaces) {
    const std::string config = dir_.path() + "/avahi-daemon.conf";
    testing_support::writeFile(config, "[server]\nuse-ipv4=yes\nuse-ipv6=no\nallow-interfaces=" + interfaces +
                                           "\nenable-dbus=yes\nratelimit-interval-usec=1000000\n"
                                           "ratelimit-burst=1000\n[wide-area]\nenable-wide-area=no\n"
                                           "[publish]\npublish-hinfo=no\npublish-workstation=no\n");
    ASSERT_TRUE(testing_support::startAvahiDaemon(config));
  }

  // How many interfaces the agent sees the server on.
  static long instances(const Agent& agent, const std::string& name) {
    const auto names = agent.browserListener()->serviceNames();
    return std::count(names.begin(), names.end(), name);
  }
  bool detached() const {
    const auto events = listener.events();
    return std::any_of(events.begin(), events.end(),
                       [](const std::string& event) { return event.rfind("detached ", 0) == 0; });
  }
  long reports(const std::string& event) const {
    const auto events = listener.events();
    return std::count(events.begin(), events.end(), event);
  }

  static std::string name(const char* suffix) { return "_lumoraN" + std::to_string(::getpid()) + suffix; }
  // Lines of the agent's log so far that mention text.
  long count(const std::string& text) {
    log_ += capture_.take();
    return static_cast<long>(testing_support::countOf(log_, text));
  }

  testing_support::TempDir dir_;
  StdoutCapture capture_;
  std::string log_;
};

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

// Outer cases: each runs its inner case in a namespace of its own.
class Network : public ::testing::TestWithParam<const char*> {};

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
