// The agent's search when avahi-daemon or the adverts misbehave: restarts with lookups open, hosts
// slow to answer, short outages, servers that move, a daemon that does not answer at all, hostile
// addresses and host names. Each case runs in a namespace of its own (NetworkFixture.h).
#include <QElapsedTimer>
#include <QProcess>
#include <QTimer>

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <optional>
#include <thread>

#include "agent/tests/AvahiPublication.h"
#include "agent/tests/NetworkFixture.h"
#include "testing/qt_test_main/process_events_until.h"
#include "testing/run_command.h"
#include "zeroconf/src/service_name.h"

namespace {

using namespace std::chrono_literals;
using agent_testing::AddressRecord;
using agent_testing::Clock;
using agent_testing::millisecondsSince;
using agent_testing::Network;
using agent_testing::NetworkInner;
using agent_testing::Publication;
using testing_support::waitUntil;

constexpr const char* kSlave = R"({"mode":2,"server":{"ip":"127.0.0.1"}})";

// Whether the daemon lists the instance (browsed, not resolved: a separate client of the daemon).
bool browsable(const std::string& name) {
  const auto result = testing_support::runCommand("timeout 5 avahi-browse -pt _http._tcp 2>/dev/null");
  return result.output.find(";" + name + ";") != std::string::npos;
}

pid_t avahiPid() {
  pid_t pid = 0;
  std::ifstream("/run/avahi-daemon/pid") >> pid;
  return pid;
}

// A host that has a service but no address: avahi's resolve of it stays open for its 5 s and
// fails. avahi-daemon restarting meanwhile made avahi's library call callback fields it never set.
TEST_F(NetworkInner, AgentLivesThroughAvahiRestartsWithAResolveOpen) {
  startAvahi("lo");
  auto agent = makeAgent(kSlave);
  agent->startSearch();
  const std::string server = name("nohost");
  const std::string host = name("nohost").substr(1) + ".local";
  Publication publication(server, 8615, false, host);
  constexpr int kRestarts = 10;
  for (int restart = 0; restart < kRestarts; ++restart) {
    // The agent's browse runs again and sees the instance: its resolve is open for 5 s from here.
    ASSERT_TRUE(waitUntil([&] { return count("started again") >= restart; }, 20s)) << "restart " << restart;
    ASSERT_TRUE(waitUntil([&] { return browsable(server); }, 10s)) << "restart " << restart;
    std::this_thread::sleep_for(500ms);  // inside the resolve's 5 s
    ASSERT_TRUE(testing_support::stopAvahiDaemon()) << "restart " << restart;
    startAvahi("lo");
    publication.republish();
  }
  // The host answers at last: the agent, alive, attaches.
  Publication address(AddressRecord{}, host, "10.66.0.1");
  const auto start = Clock::now();
  ASSERT_TRUE(waitUntil([&] { return agent->attachedAddress() == "10.66.0.1:8615"; }, 30s))
      << testing::PrintToString(listener.events());
  std::cerr << "measured: " << kRestarts << " avahi restarts with a resolve open survived; attached "
            << millisecondsSince(start) << " ms after the host's address appeared\n";
}

// avahi gives a resolve up when the host is slow to answer; the instance stays present, so the
// agent asks again and attaches once the host answers.
TEST_F(NetworkInner, ResolveThatTimedOutIsAskedForAgain) {
  startAvahi("lo");
  auto agent = makeAgent(kSlave);
  agent->startSearch();
  const std::string host = name("slow").substr(1) + ".local";
  Publication publication(name("slow"), 8616, false, host);
  ASSERT_TRUE(waitUntil([&] { return count("errorCode = -65537") >= 1; }, 15s)) << "avahi did not give up";
  const auto start = Clock::now();
  Publication address(AddressRecord{}, host, "10.66.0.2");
  ASSERT_TRUE(waitUntil([&] { return agent->attachedAddress() == "10.66.0.2:8616"; }, 20s));
  std::cerr << "measured: resolve failed once, attached " << millisecondsSince(start)
            << " ms after the host answered\n";
}

// The local avahi-daemon away for 3 s reports every server removed: a Hybrid agent attached to a
// server elsewhere must not count that time as a search and start an engine of its own.
TEST_F(NetworkInner, ShortAvahiOutageStartsNoEngine) {
  startAvahi("lo");
  auto agent = makeAgent(R"({"mode":4,"server":{"ip":"127.0.0.1"}})");
  agent->setEngineProgram(QStringLiteral(FAKE_ENGINE_PROGRAM));
  agent->startSearch();
  const std::string server = name("remote");
  Publication publication(server, 8617, false);
  ASSERT_TRUE(waitUntil([&] { return agent->attachedName() == server; }, 10s));
  std::thread sequence([&] { agent->connectSequence(nullptr); });  // starts the lost-server watch
  sequence.join();

  ASSERT_TRUE(testing_support::stopAvahiDaemon());
  ASSERT_TRUE(waitUntil([&] { return reports("detached 127.0.0.1:8617") == 1; }, 10s));
  std::this_thread::sleep_for(3s);  // the outage: three search rounds
  startAvahi("lo");
  publication.republish();  // the remote engine's advert, learnt again
  const auto start = Clock::now();
  ASSERT_TRUE(waitUntil([&] { return reports("attached 127.0.0.1:8617") == 2; }, 20s))
      << testing::PrintToString(listener.events());
  const long long attached = millisecondsSince(start);
  std::this_thread::sleep_for(4s);  // more than the search time after the return
  EXPECT_EQ(count("Starting LUMORA Engine process"), 0);
  EXPECT_EQ(agent->enginePid(), 0);
  agent->shutdown();
  std::cerr << "measured: 3 s avahi outage, attached again " << attached << " ms after the daemon returned\n";
}

// The attached server's host takes a new address (a DHCP renewal): the agent follows it although
// the browse reports nothing new.
TEST_F(NetworkInner, AttachmentFollowsTheServersNewAddress) {
  startAvahi("lo");
  auto agent = makeAgent(kSlave);
  agent->startSearch();
  const std::string host = name("mover").substr(1) + ".local";
  std::optional<Publication> address;
  address.emplace(AddressRecord{}, host, "10.66.0.3");
  Publication publication(name("mover"), 8618, false, host);
  ASSERT_TRUE(waitUntil([&] { return agent->attachedAddress() == "10.66.0.3:8618"; }, 10s));

  address.reset();
  address.emplace(AddressRecord{}, host, "10.66.0.4");
  const auto start = Clock::now();
  ASSERT_TRUE(waitUntil([&] { return agent->attachedAddress() == "10.66.0.4:8618"; }, 15s))
      << testing::PrintToString(listener.events());
  EXPECT_TRUE(listener.waitFor("attached 10.66.0.4:8618", 1s));
  std::cerr << "measured: new address of the attached server followed after " << millisecondsSince(start) << " ms\n";
}

// A daemon that is alive but does not answer (stopped) would hold a DNS-SD call for D-Bus's 25 s:
// the calling (GUI) thread makes none and keeps its pace; the search starts once the daemon answers.
TEST_F(NetworkInner, AStoppedDaemonNeverHoldsTheGuiThread) {
  startAvahi("lo");
  const std::string server = name("later");
  Publication publication(server, 8619, false);
  ASSERT_TRUE(waitUntil([&] { return browsable(server); }, 10s));
  const pid_t daemon = avahiPid();
  ASSERT_GT(daemon, 0);
  ASSERT_EQ(::kill(daemon, SIGSTOP), 0);

  auto agent = makeAgent(kSlave);
  const auto before = Clock::now();
  agent->startSearch();
  const long long startMs = millisecondsSince(before);
  // A timer of the GUI thread, with the calls the tray makes, for a second.
  QElapsedTimer sinceTick;
  sinceTick.start();
  qint64 longestGap = 0;
  QTimer probe;
  QObject::connect(&probe, &QTimer::timeout, [&] {
    longestGap = std::max(longestGap, sinceTick.restart());
    static_cast<void>(agent->attachedAddress());
    static_cast<void>(agent->canStartLocalServer());
  });
  probe.start(10);
  testing_support::processEventsUntil([] { return false; }, 1s);
  probe.stop();
  EXPECT_FALSE(agent->searchRunning());
  ::kill(daemon, SIGCONT);
  EXPECT_LT(startMs, 100);
  EXPECT_LT(longestGap, 100);
  ASSERT_TRUE(waitUntil([&] { return agent->attachedName() == server; }, 30s));
  EXPECT_TRUE(agent->searchRunning());
  std::cerr << "measured: stopped avahi-daemon: startSearch took " << startMs << " ms, longest GUI-thread gap "
            << longestGap << " ms\n";
}

// An address of this very machine announced on a network: refused, so that no host on the LAN can
// point the agent and its authenticated requests at a local service.
TEST_F(NetworkInner, LoopbackAddressAnnouncedOnANetworkIsRefused) {
  addInterface("lmra0", "10.77.0.1");
  startAvahi("lmra0");
  auto agent = makeAgent(R"({"mode":2,"server":{"ip":"10.77.0.1"}})");
  agent->startSearch();
  const std::string host = name("evil").substr(1) + ".local";
  Publication loopback(AddressRecord{}, host, "127.0.0.1");
  Publication evil(name("evil"), 631, false, host);
  ASSERT_TRUE(waitUntil([&] { return count("Refused LUMORA at 127.0.0.1:631") >= 1; }, 10s));
  EXPECT_TRUE(agent->attachedAddress().empty());
  // A server with a real address on the same network is taken.
  const std::string good = name("good");
  Publication genuine(good, 8620, false);
  ASSERT_TRUE(waitUntil([&] { return agent->attachedName() == good; }, 10s));
  EXPECT_EQ(agent->attachedAddress(), "10.77.0.1:8620");
}

// avahi hands non-ASCII host names over DNS-escaped; they are shown as the UTF-8 text they are.
TEST_F(NetworkInner, NonAsciiHostNameIsShownUnescaped) {
  startAvahi("lo");
  auto agent = makeAgent(kSlave);
  agent->startSearch();
  const std::string pid = std::to_string(::getpid());
  const std::string host = "J\xc3\xbcrgen-" + pid + ".local";
  Publication address(AddressRecord{}, host, "10.66.0.5");
  Publication publication(name("utf8"), 8621, false, host);
  ASSERT_TRUE(waitUntil([&] { return agent->attachedAddress() == "10.66.0.5:8621"; }, 10s));
  EXPECT_EQ(agent->attachedHost(), "J\\195\\188rgen-" + pid + ".local.");
  EXPECT_EQ(zeroconf::unescape_domain_name(agent->attachedHost()), host + ".");
}

// A link flooded with 2,000 adverts that come and go (another host's responder, behind a veth
// pair): the one master present throughout is still found and attached within 30 s.
TEST_F(NetworkInner, MasterIsAttachedDuringAFloodOfChurningAdverts) {
  addInterface("lmra0", "10.77.0.1");
  startAvahi("lmra0");
  // The far end goes to a network namespace of its own, held by a sleeping process.
  const auto holder = testing_support::runCommand("unshare --net sleep 300 >/dev/null 2>&1 & echo $!");
  const std::string peer = testing_support::splitLines(holder.output).at(0);
  ASSERT_TRUE(agent_testing::run("ip link set lmra0p netns " + peer));
  QProcess flood;
  flood.start("nsenter", {"-t", QString::fromStdString(peer), "-n", "sh", "-c",
                          "ip link set lo up && ip addr add 10.77.0.2/24 dev lmra0p && ip link set lmra0p up && "
                          "exec python3 " MDNS_FLOOD_SCRIPT " 10.77.0.2 2000 20 _lumora_master 8600"});
  ASSERT_TRUE(flood.waitForStarted(3000));
  const auto listed = [] {
    const auto result = testing_support::runCommand("timeout 5 avahi-browse -pt _http._tcp 2>/dev/null | wc -l");
    return std::stol("0" + testing_support::splitLines(result.output).at(0));
  };
  ASSERT_TRUE(waitUntil([&] { return listed() >= 500; }, 30s)) << "the flood did not reach the daemon";

  auto agent = makeAgent(kSlave);
  const auto start = Clock::now();
  agent->startSearch();
  const bool attached = waitUntil([&] { return agent->attachedName() == "_lumora_master"; }, 60s);
  const long long attachedMs = millisecondsSince(start);
  const long seen = listed();
  flood.kill();
  flood.waitForFinished(3000);
  agent_testing::run("kill " + peer);
  ASSERT_TRUE(attached) << testing::PrintToString(listener.events());
  EXPECT_EQ(agent->attachedAddress(), "10.77.0.9:8600");
  EXPECT_LT(attachedMs, 30000);
  std::cerr << "measured: master attached " << attachedMs << " ms after the search started, " << seen
            << " adverts listed by the daemon then\n";
}

INSTANTIATE_TEST_SUITE_P(
    Trouble, Network,
    ::testing::Values("AgentLivesThroughAvahiRestartsWithAResolveOpen", "ResolveThatTimedOutIsAskedForAgain",
                      "ShortAvahiOutageStartsNoEngine", "AttachmentFollowsTheServersNewAddress",
                      "AStoppedDaemonNeverHoldsTheGuiThread", "LoopbackAddressAnnouncedOnANetworkIsRefused",
                      "NonAsciiHostNameIsShownUnescaped", "MasterIsAttachedDuringAFloodOfChurningAdverts"),
    [](const ::testing::TestParamInfo<const char*>& info) { return std::string(info.param); });

}  // namespace
