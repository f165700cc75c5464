#include <gtest/gtest.h>

#include <QHostAddress>

#include <net/if.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "agent/tests/AgentTestSupport.h"
#include "testing/stdout_capture.h"

namespace {

using namespace std::chrono_literals;
using agent_testing::AgentTest;
using lmr::Agent;
using testing_support::readFile;
using testing_support::StdoutCapture;
using Events = std::vector<std::string>;

const std::vector<std::string> kMaster{"master:1"};
const std::vector<std::string> kOther{"txtvers=1"};

class BrowserTest : public AgentTest {
 protected:
  // An agent of this mode whose own address is pinned in the configuration.
  void makeBrowser(int mode, const std::string& ownAddress = "10.0.0.1") {
    agent = makeAgent(R"({"mode":)" + std::to_string(mode) + R"(,"server":{"ip":")" + ownAddress + R"("}})");
    browser = std::make_unique<Agent::BrowserListener>(agent.get());
    browser->resolveLocalAddress();
  }
  void resolve(const char* name, const char* ip, uint16_t port, const std::vector<std::string>& txt = kOther,
               uint32_t interface = 1) {
    browser->service_resolved(interface, name, "_http._tcp.", "host.local.", ip, port, txt);
  }
  void remove(const char* name, uint32_t interface = 1) { browser->service_removed(interface, name, "_http._tcp."); }

  std::unique_ptr<Agent> agent;
  std::unique_ptr<Agent::BrowserListener> browser;
};

TEST_F(BrowserTest, FirstServerIsAttachedOthersIgnored) {
  makeBrowser(2);
  StdoutCapture capture;
  resolve("_lumoraB", "10.0.0.2", 80);
  resolve("_lumoraA", "10.0.0.3", 81, kMaster);
  EXPECT_EQ(listener.events(), Events{"attached 10.0.0.2:80"});
  EXPECT_EQ(agent->attachedAddress(), "10.0.0.2:80");
  EXPECT_EQ(agent->attachedHost(), "host.local.");
  EXPECT_EQ(agent->attachedName(), "_lumoraB");
  EXPECT_EQ(browser->serviceNames(), (std::vector<std::string>{"_lumoraA", "_lumoraB"}));
  const std::string log = capture.take();
  EXPECT_NE(log.find("Attached to 10.0.0.2:80\n"), std::string::npos);
  EXPECT_NE(log.find("Ignored LUMORA at 10.0.0.3:81 because it is not the master and we are already attached\n"),
            std::string::npos);
}

TEST_F(BrowserTest, OnlyNamesBeginningWithLumoraCount) {
  makeBrowser(4);
  for (const char* name : {"_Lumora", "lumora", "x_lumora", "_lumor", ""}) resolve(name, "10.0.0.2", 80);
  remove("_Lumora");
  EXPECT_TRUE(listener.events().empty());
  EXPECT_TRUE(browser->serviceNames().empty());
  resolve("_lumora", "10.0.0.2", 80);
  EXPECT_EQ(listener.events(), Events{"attached 10.0.0.2:80"});
}

TEST_F(BrowserTest, MasterIgnoresServersOfOtherAddresses) {
  makeBrowser(1, "10.0.0.9");
  StdoutCapture capture;
  resolve("_lumoraA", "10.0.0.2", 80, kMaster);
  EXPECT_TRUE(listener.events().empty());
  EXPECT_NE(capture.take().find("Ignored LUMORA at 10.0.0.2:80 because we are the master\n"), std::string::npos);
  resolve("_lumoraB", "10.0.0.9", 8080);
  EXPECT_EQ(listener.events(), Events{"attached 10.0.0.9:8080"});
}

TEST_F(BrowserTest, RemovingTheAttachedServerEndsOnTheLastMasterWithOneReport) {
  makeBrowser(2);
  resolve("_lumoraA", "10.0.0.1", 1);
  resolve("_lumoraB", "10.0.0.2", 2, kMaster);
  resolve("_lumoraC", "10.0.0.3", 3);
  resolve("_lumoraD", "10.0.0.4", 4, kMaster);
  resolve("_lumoraE", "10.0.0.5", 5);
  StdoutCapture capture;
  remove("_lumoraA");
  EXPECT_EQ(listener.events(), (Events{"attached 10.0.0.1:1", "attached 10.0.0.4:4"}));
  EXPECT_EQ(agent->attachedName(), "_lumoraD");
  const std::string log = capture.take();
  EXPECT_EQ(log.find("Attached to 10.0.0.2:2"), std::string::npos);
  EXPECT_NE(log.find("Attached to 10.0.0.4:4\n"), std::string::npos);
  EXPECT_EQ(log.find("Detached"), std::string::npos);
}

TEST_F(BrowserTest, WithoutMastersTheFirstRecordInNameOrderIsTaken) {
  makeBrowser(2);
  resolve("_lumoraZ", "10.0.0.1", 1);
  resolve("_lumoraM", "10.0.0.2", 2);
  resolve("_lumoraB", "10.0.0.3", 3);
  remove("_lumoraZ");
  EXPECT_EQ(listener.events(), (Events{"attached 10.0.0.1:1", "attached 10.0.0.3:3"}));
}

TEST_F(BrowserTest, OtherRemovalsChangeNothingAndTheLastOneDetaches) {
  makeBrowser(2);
  resolve("_lumoraA", "10.0.0.1", 1);
  resolve("_lumoraB", "10.0.0.2", 2);
  remove("_lumoraB");
  remove("_lumoraX");
  EXPECT_EQ(listener.events(), Events{"attached 10.0.0.1:1"});
  StdoutCapture capture;
  remove("_lumoraA");
  EXPECT_EQ(listener.events(), (Events{"attached 10.0.0.1:1", "detached 10.0.0.1:1"}));
  EXPECT_NE(capture.take().find("Detached from 10.0.0.1:1\n"), std::string::npos);
  EXPECT_EQ(agent->attachedAddress(), "");
  EXPECT_EQ(agent->attachedHost(), "");
  // Found again: attached again.
  resolve("_lumoraA", "10.0.0.1", 1);
  EXPECT_EQ(agent->attachedAddress(), "10.0.0.1:1");
}

// DNS-SD reports a server once per interface: it is gone only when its last instance is.
TEST_F(BrowserTest, AServerSeenOnSeveralInterfacesKeepsTheAgentUntilItsLastInstanceGoes) {
  makeBrowser(2);
  resolve("_lumoraA", "10.0.0.2", 80, kOther, 1);
  resolve("_lumoraA", "10.0.0.2", 80, kOther, 2);
  resolve("_lumoraA", "10.1.0.2", 80, kOther, 3);
  resolve("_lumoraB", "10.0.0.3", 81, kMaster, 1);
  EXPECT_EQ(browser->serviceNames(), (std::vector<std::string>{"_lumoraA", "_lumoraA", "_lumoraA", "_lumoraB"}));
  StdoutCapture capture;
  remove("_lumoraA", 3);
  remove("_lumoraA", 1);  // the attached instance; the same address is still seen on interface 2
  EXPECT_EQ(listener.events(), Events{"attached 10.0.0.2:80"});
  EXPECT_EQ(agent->attachedName(), "_lumoraA");
  resolve("_lumoraA", "10.1.0.2", 80, kOther, 3);
  remove("_lumoraA", 2);  // seen elsewhere at another address only: the agent moves there
  EXPECT_EQ(listener.events(), (Events{"attached 10.0.0.2:80", "attached 10.1.0.2:80"}));
  EXPECT_EQ(capture.take().find("Detached"), std::string::npos);
  remove("_lumoraA", 3);  // the last instance: on to the next choice
  EXPECT_EQ(listener.events(), (Events{"attached 10.0.0.2:80", "attached 10.1.0.2:80", "attached 10.0.0.3:81"}));
  remove("_lumoraB", 1);
  EXPECT_EQ(listener.events().back(), "detached 10.0.0.3:81");
}

// A new address or port of the attached instance (DHCP, engine registered again) moves the agent.
TEST_F(BrowserTest, TheAttachedServerAtANewAddressMovesTheAttachment) {
  makeBrowser(2);
  resolve("_lumoraA", "10.0.0.2", 80);
  resolve("_lumoraB", "10.0.0.3", 81);
  StdoutCapture capture;
  resolve("_lumoraA", "10.0.0.2", 80);
  resolve("_lumoraA", "10.0.0.2", 8080);
  resolve("_lumoraA", "10.0.0.4", 8080);
  resolve("_lumoraA", "10.0.0.5", 9, kOther, 2);  // another instance at another address: ignored
  EXPECT_EQ(listener.events(), (Events{"attached 10.0.0.2:80", "attached 10.0.0.2:8080", "attached 10.0.0.4:8080"}));
  EXPECT_EQ(agent->attachedAddress(), "10.0.0.4:8080");
  const std::string log = capture.take();
  EXPECT_NE(log.find("Attached to 10.0.0.4:8080\n"), std::string::npos);
  EXPECT_NE(log.find("Ignored LUMORA at 10.0.0.5:9 because it is not the master and we are already attached\n"),
            std::string::npos);
}

// An address of the receiving machine itself is taken only from a loopback interface: any host on
// the network could otherwise point the agent at a local service.
TEST_F(BrowserTest, LoopbackAddressesAreTakenOnlyFromALoopbackInterface) {
  makeBrowser(2);
  const uint32_t loopback = if_nametoindex("lo");
  ASSERT_NE(loopback, 0u);
  constexpr uint32_t kNoSuchInterface = 999;
  StdoutCapture capture;
  resolve("_lumoraA", "127.0.0.1", 631, kOther, kNoSuchInterface);
  resolve("_lumoraB", "0.0.0.0", 80, kOther, kNoSuchInterface);
  resolve("_lumoraC", "127.1.2.3", 81, kMaster, kNoSuchInterface);
  EXPECT_TRUE(listener.events().empty());
  EXPECT_TRUE(browser->serviceNames().empty());
  const std::string log = capture.take();
  EXPECT_NE(log.find("Refused LUMORA at 127.0.0.1:631: a loopback address announced on a network\n"), std::string::npos)
      << log;
  EXPECT_NE(log.find("Refused LUMORA at 0.0.0.0:80"), std::string::npos);
  EXPECT_NE(log.find("Refused LUMORA at 127.1.2.3:81"), std::string::npos);
  resolve("_lumoraD", "127.0.0.1", 8000, kOther, loopback);
  EXPECT_EQ(listener.events(), Events{"attached 127.0.0.1:8000"});
}

// Any address of the host's own interfaces is the master's own, whatever its configured one.
TEST_F(BrowserTest, AMasterAcceptsItsServerAtAnyOwnInterfaceAddress) {
  makeBrowser(1, "10.0.0.9");
  resolve("_lumoraA", "10.0.0.2", 80, kMaster);
  resolve("_lumoraO", "127.0.0.1", 8080, kMaster);
  EXPECT_EQ(listener.events(), Events{"attached 127.0.0.1:8080"});
}

// As the attachment rules have it, a removal re-attaches without the master's address rule.
TEST_F(BrowserTest, AMasterReattachesToAForeignServerOnRemoval) {
  makeBrowser(1, "10.0.0.9");
  resolve("_lumoraF", "10.0.0.2", 2);
  resolve("_lumoraO", "10.0.0.9", 9);
  EXPECT_EQ(agent->attachedName(), "_lumoraO");
  remove("_lumoraO");
  EXPECT_EQ(agent->attachedName(), "_lumoraF");
}

// The DNS-SD client may still report a resolve that was under way when the agent went.
TEST_F(AgentTest, ReportsAfterTheAgentHasGoneAreIgnored) {
  auto agent = makeAgent(R"({"mode":2})");
  agent->startSearch();
  const std::shared_ptr<Agent::BrowserListener> browser = agent->browserListener();
  ASSERT_NE(browser, nullptr);
  agent.reset();
  browser->service_resolved(1, "_lumoraA", "_http._tcp.", "h.local.", "10.0.0.1", 1, {});
  browser->service_removed(1, "_lumoraA", "_http._tcp.");
  EXPECT_TRUE(browser->serviceNames().empty());
  EXPECT_TRUE(listener.events().empty());
}

TEST_F(AgentTest, OwnAddressIsAnIpv4Text) {
  auto agent = makeAgent();
  Agent::BrowserListener browser(agent.get());
  browser.resolveLocalAddress();
  QHostAddress address;
  EXPECT_TRUE(address.setAddress(QString::fromStdString(browser.ownAddress()))) << browser.ownAddress();
  EXPECT_EQ(address.protocol(), QAbstractSocket::IPv4Protocol);
}

TEST_F(AgentTest, ConstructionReadsModeAndHardwareIds) {
  EXPECT_EQ(makeAgent()->mode(), Agent::kModeHybrid);
  EXPECT_EQ(makeAgent(R"({"mode":null})")->mode(), 0u);
  EXPECT_EQ(makeAgent(R"({"mode":1})")->mode(), Agent::kModeMaster);
  EXPECT_EQ(makeAgent(R"({"mode":"x"})")->mode(), 0u);
  EXPECT_EQ(makeAgent(R"({"discovery":{"filtering":[]}})")->hardwareIds(), QStringList{"0"});
  EXPECT_EQ(
      makeAgent(R"({"discovery":{"filtering":[{"hardware_id":"a"},{"x":1},3,{"hardware_id":"b"}]}})")->hardwareIds(),
      (QStringList{"a", "b"}));
}

TEST_F(AgentTest, ModeNames) {
  EXPECT_EQ(Agent::modeName(1), "Master");
  EXPECT_EQ(Agent::modeName(2), "Slave");
  EXPECT_EQ(Agent::modeName(4), "Hybrid");
  EXPECT_EQ(Agent::modeName(3), "?");
  EXPECT_EQ(Agent::modeName(0), "?");
}

TEST_F(AgentTest, SetModeWritesOnlyAChange) {
  auto agent = makeAgent(R"({"mode":2})");
  const std::string before = readFile(configFile());
  EXPECT_FALSE(agent->setMode(2));
  EXPECT_EQ(readFile(configFile()), before);
  EXPECT_TRUE(agent->setMode(1));
  EXPECT_NE(readFile(configFile()).find(R"("mode":1)"), std::string::npos);
  EXPECT_EQ(agent->mode(), Agent::kModeSlave);  // until the next start
}

TEST_F(AgentTest, SetServerIpWritesOnlyAChange) {
  auto agent = makeAgent("{}");
  EXPECT_FALSE(agent->setServerIp(""));
  EXPECT_TRUE(agent->setServerIp("10.1.2.3"));
  EXPECT_NE(readFile(configFile()).find(R"("server":{"ip":"10.1.2.3"})"), std::string::npos);
  EXPECT_FALSE(agent->setServerIp("10.1.2.3"));
  EXPECT_TRUE(agent->setServerIp(""));
  EXPECT_NE(readFile(configFile()).find(R"("ip":"")"), std::string::npos);
}

TEST_F(AgentTest, SetPluginEnabledReplacesTheTable) {
  auto agent = makeAgent("{}");
  agent->setPluginEnabled({{"vextro.so", "Vextro \"devices\"", true, ""}, {"annwatch.so", "SAP", false, ""}});
  EXPECT_EQ(config_testing::pluginNames(config), (std::vector<std::string>{"vextro.so", "annwatch.so"}));
  EXPECT_NE(
      readFile(configFile())
          .find(
              R"("plugins":[{"name":"vextro.so","descr":"Vextro \"devices\"","enabled":true},{"name":"annwatch.so","descr":"SAP","enabled":false}])"),
      std::string::npos);
}

// Poll thread, window thread and listener changes at once (for the thread sanitizer).
TEST_F(BrowserTest, ConcurrentReportsReadsAndListenerChanges) {
  makeBrowser(2);
  std::atomic<bool> stop{false};
  std::thread poll([&] {
    for (int i = 0; i < 300; ++i) {
      resolve("_lumoraA", "10.0.0.1", 1);
      resolve("_lumoraB", "10.0.0.2", 2, kMaster);
      remove("_lumoraA");
      remove("_lumoraB");
    }
    stop = true;
  });
  agent_testing::RecordingListener other;
  while (!stop) {
    agent->addListener(&other);
    static_cast<void>(agent->attachedAddress());
    static_cast<void>(agent->canStartLocalServer());
    agent->removeListener(&other);
  }
  poll.join();
  EXPECT_EQ(agent->attachedAddress(), "");
  EXPECT_EQ(listener.events().back(), "detached 10.0.0.2:2");
}

}  // namespace
