// The agent's search against the avahi-daemon of the test namespace. Only services published
// here (named "_lumoraT<pid>...") are asserted on; others may come and go meanwhile. Inside the
// namespace (LUMORA_TEST_NAMESPACE set) the daemon must answer; elsewhere the tests skip.
#include <QProcess>

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

#include "agent/tests/AgentTestSupport.h"
#include "agent/tests/AvahiPublication.h"
#include "testing/stdout_capture.h"
#include "testing/temp_dir.h"

namespace {

using namespace std::chrono_literals;
using agent_testing::AgentTest;
using agent_testing::waitUntil;
using lmr::Agent;
using testing_support::StdoutCapture;

using agent_testing::Publication;

class AvahiTest : public AgentTest {
 protected:
  void SetUp() override {
    if (std::getenv("LUMORA_TEST_NAMESPACE") == nullptr) GTEST_SKIP() << "needs the test namespace's avahi-daemon";
  }
  std::string uniqueName(const char* suffix) const { return "_lumoraT" + std::to_string(::getpid()) + suffix; }
  uint16_t uniquePort(int offset) const { return static_cast<uint16_t>(20000 + (::getpid() % 20000) + offset); }
  bool found(const Agent& agent, const std::string& name) const {
    const auto names = agent.browserListener()->serviceNames();
    return std::find(names.begin(), names.end(), name) != names.end();
  }
};

TEST_F(AvahiTest, SlaveAttachesToAPublishedServerAndDetachesWhenItGoes) {
  auto agent = makeAgent(R"({"mode":2,"server":{"ip":"127.0.0.1"}})");
  StdoutCapture capture;
  agent->startSearch();
  const std::string name = uniqueName("s");
  const uint16_t port = uniquePort(1);
  const std::string address = "127.0.0.1:" + std::to_string(port);
  Publication publication(name, port, false);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(waitUntil([&] { return found(*agent, name); }, 5s)) << "the daemon did not report " << name;
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
  if (agent->attachedName() != name) {
    // Another test's server came first: ours must then be the one ignored.
    EXPECT_NE(capture.take().find("Ignored LUMORA at " + address +
                                  " because it is not the master and we are already attached\n"),
              std::string::npos);
    return;
  }
  EXPECT_TRUE(listener.waitFor("attached " + address, 1s));
  EXPECT_NE(capture.take().find("Attached to " + address + "\n"), std::string::npos);

  publication.withdraw();
  ASSERT_TRUE(waitUntil([&] { return !found(*agent, name); }, 5s));
  if (!agent->attachedAddress().empty()) return;  // moved on to another test's server
  EXPECT_TRUE(listener.waitFor("detached " + address, 1s));
  EXPECT_NE(capture.take().find("Detached from " + address + "\n"), std::string::npos);
}

TEST_F(AvahiTest, MasterIgnoresServersOfOtherAddresses) {
  auto agent = makeAgent(R"({"mode":1,"server":{"ip":"10.255.0.1"}})");
  StdoutCapture capture;
  agent->startSearch();
  // A server on another host: its own address record, not one of this host's addresses.
  const std::string host = uniqueName("h").substr(1) + ".local";
  QProcess address;
  address.start("avahi-publish", {"-a", "-R", QString::fromStdString(host), "10.255.0.2"});
  ASSERT_TRUE(address.waitForStarted(3000));
  const std::string name = uniqueName("m");
  const uint16_t port = uniquePort(2);
  Publication publication(name, port, true, host);
  ASSERT_TRUE(waitUntil([&] { return found(*agent, name); }, 5s));
  EXPECT_NE(agent->attachedName(), name);
  // Other tests' servers run on this host: the master may have attached to one of them first.
  const std::string log = capture.take();
  const std::string ignored = "Ignored LUMORA at 10.255.0.2:" + std::to_string(port) + " because ";
  EXPECT_TRUE(log.find(ignored + "we are the master\n") != std::string::npos ||
              log.find(ignored + "it is not the master and we are already attached\n") != std::string::npos)
      << log;
  address.terminate();
  address.waitForFinished(3000);
}

TEST_F(AvahiTest, ServicesWithoutTheSubtypeAreNotSeen) {
  auto agent = makeAgent(R"({"mode":2,"server":{"ip":"127.0.0.1"}})");
  agent->startSearch();
  const std::string plain = uniqueName("p");
  QProcess publisher;
  publisher.start("avahi-publish", {"-s", QString::fromStdString(plain), "_http._tcp", QString::number(uniquePort(3))});
  ASSERT_TRUE(publisher.waitForStarted(3000));
  const std::string name = uniqueName("q");
  Publication publication(name, uniquePort(4), false);
  ASSERT_TRUE(waitUntil([&] { return found(*agent, name); }, 5s));
  std::this_thread::sleep_for(300ms);
  EXPECT_FALSE(found(*agent, plain));
  publisher.terminate();
  publisher.waitForFinished(3000);
}

// The whole path against the engine stand-in run in this process: its announcement attaches
// the agent, /get answers with its state and the chosen interfaces reach it.
TEST_F(AvahiTest, EndToEndAgainstTheEngineStandIn) {
  const std::string name = uniqueName("e");
  testing_support::ScopedEnv serviceName("TVSK_SERVICE_NAME", name);
  testing_support::ScopedEnv httpPort("TVSK_HTTP_PORT", "0");
  auto agent = makeAgent(
      R"({"mode":2,"server":{"ip":"127.0.0.1"},"discovery":{"filtering":[{"hardware_id":"02:00:00:00:00:01"}]}})");
  ASSERT_TRUE(agent->startEngine(false));
  agent->startSearch();
  bool attached = waitUntil([&] { return agent->attachedName() == name; }, 5s);
  if (!attached && found(*agent, name)) {
    // Another test's server was found first; the agent moves to ours once that one is gone.
    attached = waitUntil([&] { return agent->attachedName() == name; }, 30s);
  }
  if (!attached) {
    agent->stopEngine();
    if (found(*agent, name)) GTEST_SKIP() << "attached to another test's server first";
    FAIL() << "the engine's announcement was not seen";
  }
  const auto before = agent->get("$");
  ASSERT_NE(before, nullptr);
  ASSERT_TRUE(before->IsObject());

  EXPECT_TRUE(agent->setInterfaceFilters({"0"}));
  const auto after = agent->get("$");
  ASSERT_NE(after, nullptr);
  // The engine's filter list, wherever its state keeps it.
  const lmr::Value* filters = nullptr;
  for (const auto& member : after->GetObject()) {
    if (std::string(member.name.GetString()) == "InterfaceFilters") filters = &member.value;
    if (member.value.IsObject() && member.value.HasMember("InterfaceFilters"))
      filters = &member.value["InterfaceFilters"];
  }
  ASSERT_NE(filters, nullptr);
  ASSERT_TRUE(filters->IsArray());
  EXPECT_EQ(filters->Size(), 0u);
  agent->stopEngine();
}

// The whole start: search, splash over the connect sequence, and the sequence's end.
TEST_F(AvahiTest, StartRunsTheSplashOverTheSearch) {
  auto agent = makeAgent(R"({"mode":2,"server":{"ip":"127.0.0.1"}})");
  agent->setTickPeriod(50ms);
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_FALSE(agent->start());
  const auto took = std::chrono::steady_clock::now() - begin;
  EXPECT_GE(took, 200ms);
  EXPECT_LT(took, 3s);
  ASSERT_NE(agent->browserListener(), nullptr);
  // Alone in the network the agent says so; other tests' servers may have been found meanwhile.
  const auto events = listener.events();
  ASSERT_FALSE(events.empty());
  if (events.front().rfind("attached ", 0) != 0) {
    EXPECT_EQ(events.front(), "notification Could not find LUMORA server in the network");
  }
}

}  // namespace
