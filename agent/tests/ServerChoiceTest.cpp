#include "agent/src/ServerChoice.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "agent/src/Agent.h"

namespace {

using lmr::Agent;
using lmr::chooseServer;
using lmr::FoundServers;
using lmr::ServerAction;
using lmr::ServerDecision;
using lmr::ServerEvent;
using lmr::ServerKey;
using lmr::ServiceRecord;
using namespace std::chrono_literals;

constexpr uint32_t kMaster = Agent::kKindMaster;
constexpr uint32_t kOther = Agent::kKindOther;
const ServiceRecord kNotAttached{};

ServiceRecord server(const std::string& name, const std::string& address, uint32_t kind = kOther,
                     uint32_t interfaceIndex = 1) {
  return {name, address, "host.local.", kind, interfaceIndex};
}

// The found servers as the listener keeps them: one record per name and interface.
FoundServers foundOf(const std::vector<ServiceRecord>& records) {
  FoundServers found;
  for (const ServiceRecord& record : records) found[{record.name, record.interfaceIndex}] = record;
  return found;
}

ServerKey keyOf(const ServiceRecord& record) { return {record.name, record.interfaceIndex}; }

// Own addresses of the agent's host; counts how often it is asked.
struct OwnAddresses {
  std::vector<std::string> ips;
  int asked = 0;
  lmr::OwnAddressTest test() {
    return [this](const std::string& ip) {
      ++asked;
      return std::find(ips.begin(), ips.end(), ip) != ips.end();
    };
  }
};

std::string describe(const ServerDecision& decision) {
  static const char* const kNames[] = {"none",           "confirm", "keep", "attach", "ignore-attached",
                                       "ignore-not-own", "detach"};
  std::string text = kNames[static_cast<int>(decision.action)];
  if (!decision.record.address.empty()) {
    text += " " + decision.record.name + "@" + std::to_string(decision.record.interfaceIndex) + " " +
            decision.record.address;
  }
  return text;
}

// Hybrid and Slave agents take the first server resolved, keep it while it is found, follow it to a
// new address, and do not hop to a master that comes later.
TEST(ServerChoice, FirstServerIsAttachedAndKeptWhileFound) {
  for (const uint32_t mode : {Agent::kModeHybrid, Agent::kModeSlave}) {
    SCOPED_TRACE(Agent::modeName(static_cast<int>(mode)).toStdString());
    OwnAddresses own;
    const ServiceRecord first = server("_lumoraB", "10.0.0.2:80");
    FoundServers found = foundOf({first});
    EXPECT_EQ(describe(chooseServer(ServerEvent::Resolved, keyOf(first), found, kNotAttached, mode, own.test())),
              "attach _lumoraB@1 10.0.0.2:80");

    const ServiceRecord master = server("_lumoraA", "10.0.0.3:81", kMaster);
    found = foundOf({first, master});
    EXPECT_EQ(describe(chooseServer(ServerEvent::Resolved, keyOf(master), found, first, mode, own.test())),
              "ignore-attached _lumoraA@1 10.0.0.3:81");

    ServiceRecord renamedHost = first;
    renamedHost.host = "other.local.";
    found = foundOf({renamedHost, master});
    const ServerDecision again = chooseServer(ServerEvent::Resolved, keyOf(first), found, first, mode, own.test());
    EXPECT_EQ(describe(again), "confirm _lumoraB@1 10.0.0.2:80");
    EXPECT_EQ(again.record.host, "other.local.");

    const ServiceRecord moved = server("_lumoraB", "10.0.0.7:8080");
    found = foundOf({moved, master});
    EXPECT_EQ(describe(chooseServer(ServerEvent::Resolved, keyOf(moved), found, first, mode, own.test())),
              "attach _lumoraB@1 10.0.0.7:8080");

    // Removing a server that is not the attached one changes nothing; nor does any removal while
    // not attached.
    found = foundOf({first});
    EXPECT_EQ(describe(chooseServer(ServerEvent::Removed, keyOf(master), found, first, mode, own.test())), "none");
    EXPECT_EQ(describe(chooseServer(ServerEvent::Removed, keyOf(master), found, kNotAttached, mode, own.test())),
              "none");
    EXPECT_EQ(own.asked, 0) << "only a Master asks whether an address is its own";
  }
}

TEST(ServerChoice, MasterAttachesOnlyToItsOwnEngineWhenResolved) {
  OwnAddresses own{{"10.0.0.9", "192.168.1.4"}};
  const ServiceRecord foreign = server("_lumoraA", "10.0.0.2:80", kMaster);
  const ServiceRecord local = server("_lumoraB", "192.168.1.4:8080");
  FoundServers found = foundOf({foreign});
  EXPECT_EQ(describe(chooseServer(ServerEvent::Resolved, keyOf(foreign), found, kNotAttached, Agent::kModeMaster,
                                  own.test())),
            "ignore-not-own _lumoraA@1 10.0.0.2:80");
  found = foundOf({foreign, local});
  EXPECT_EQ(describe(
                chooseServer(ServerEvent::Resolved, keyOf(local), found, kNotAttached, Agent::kModeMaster, own.test())),
            "attach _lumoraB@1 192.168.1.4:8080");
  EXPECT_EQ(own.asked, 2);

  // Its own engine gone, a Master takes what is left: the own-address rule holds for resolves only.
  found = foundOf({foreign});
  EXPECT_EQ(describe(chooseServer(ServerEvent::Removed, keyOf(local), found, local, Agent::kModeMaster, own.test())),
            "attach _lumoraA@1 10.0.0.2:80");
}

// After the attached server left: the last master in name order, else the first server, else none.
TEST(ServerChoice, ReplacementIsTheLastMasterInNameOrder) {
  const ServiceRecord gone = server("_lumoraM", "10.0.0.1:80");
  struct Case {
    const char* what;
    std::vector<ServiceRecord> left;
    const char* expected;
  };
  const std::vector<Case> cases{
      {"nothing left", {}, "detach"},
      {"one other", {server("_lumoraZ", "10.0.0.5:80")}, "attach _lumoraZ@1 10.0.0.5:80"},
      {"others only: the first by name",
       {server("_lumoraC", "10.0.0.4:80"), server("_lumoraB", "10.0.0.3:80", kOther, 7)},
       "attach _lumoraB@7 10.0.0.3:80"},
      {"a master among others",
       {server("_lumoraA", "10.0.0.2:80"), server("_lumoraC", "10.0.0.4:80", kMaster),
        server("_lumoraD", "10.0.0.5:80")},
       "attach _lumoraC@1 10.0.0.4:80"},
      {"two masters: the last",
       {server("_lumoraA", "10.0.0.2:80", kMaster), server("_lumoraB", "10.0.0.3:80"),
        server("_lumoraC", "10.0.0.4:80", kMaster)},
       "attach _lumoraC@1 10.0.0.4:80"},
      {"byte-wise order",
       {server("_lumora_b", "10.0.0.3:80"), server("_lumoraZ", "10.0.0.4:80")},
       "attach _lumoraZ@1 10.0.0.4:80"},
  };
  OwnAddresses own;
  for (const Case& test : cases) {
    for (const uint32_t mode : {Agent::kModeHybrid, Agent::kModeSlave, Agent::kModeMaster}) {
      EXPECT_EQ(describe(chooseServer(ServerEvent::Removed, keyOf(gone), foundOf(test.left), gone, mode, own.test())),
                test.expected)
          << test.what << ", mode " << mode;
    }
  }
  EXPECT_EQ(own.asked, 0);
}

// DNS-SD reports a server once per interface it is seen on.
TEST(ServerChoice, OneServerOnSeveralInterfaces) {
  OwnAddresses own;
  const ServiceRecord onTwo = server("_lumoraA", "10.0.0.2:80", kOther, 2);
  const ServiceRecord onThree = server("_lumoraA", "10.0.0.2:80", kOther, 3);
  const ServiceRecord other = server("_lumoraB", "10.0.0.3:80", kMaster);
  const uint32_t mode = Agent::kModeHybrid;

  // Seen on another interface too: the attachment stays, nothing is reported.
  EXPECT_EQ(describe(
                chooseServer(ServerEvent::Removed, keyOf(onTwo), foundOf({onThree, other}), onTwo, mode, own.test())),
            "keep _lumoraA@3 10.0.0.2:80");
  // The same name at another address there: the attachment moves to it.
  const ServiceRecord elsewhere = server("_lumoraA", "172.16.0.2:80", kOther, 5);
  EXPECT_EQ(describe(
                chooseServer(ServerEvent::Removed, keyOf(onTwo), foundOf({elsewhere, other}), onTwo, mode, own.test())),
            "attach _lumoraA@5 172.16.0.2:80");
  // The lowest interface index of those left is taken.
  EXPECT_EQ(describe(chooseServer(ServerEvent::Removed, keyOf(onTwo), foundOf({elsewhere, onThree}), onTwo, mode,
                                  own.test())),
            "keep _lumoraA@3 10.0.0.2:80");
  // The attached server resolved on a second interface is another report, ignored like any other.
  EXPECT_EQ(describe(chooseServer(ServerEvent::Resolved, keyOf(onThree), foundOf({onTwo, onThree}), onTwo, mode,
                                  own.test())),
            "ignore-attached _lumoraA@3 10.0.0.2:80");
  // Removed from an interface it was not attached through: not the attached record.
  EXPECT_EQ(describe(chooseServer(ServerEvent::Removed, keyOf(onThree), foundOf({onTwo}), onTwo, mode, own.test())),
            "none");
}

// A server dropped for its failing API is left out on every interface until it resolves again.
TEST(ServerChoice, DroppedServerIsChosenAgainOnlyOnceItResolvesAgain) {
  OwnAddresses own;
  const uint32_t mode = Agent::kModeHybrid;
  const ServiceRecord dead = server("_lumoraA", "10.0.0.2:80", kMaster, 1);
  const ServiceRecord deadElsewhere = server("_lumoraA", "10.0.0.2:80", kMaster, 2);
  const ServiceRecord live = server("_lumoraB", "10.0.0.3:80");
  FoundServers found = foundOf({dead, deadElsewhere, live});

  EXPECT_EQ(describe(chooseServer(ServerEvent::Dropped, {}, found, dead, mode, own.test())),
            "attach _lumoraB@1 10.0.0.3:80");
  lmr::forgetServer(found, dead.name);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found.begin()->first, keyOf(live));
  // Resolved again, it is a found server like any other: the agent stays where it is.
  found = foundOf({dead, live});
  EXPECT_EQ(describe(chooseServer(ServerEvent::Resolved, keyOf(dead), found, live, mode, own.test())),
            "ignore-attached _lumoraA@1 10.0.0.2:80");

  // Nothing else found: the agent detaches, and attaches again once the server resolves again.
  found = foundOf({dead, deadElsewhere});
  EXPECT_EQ(describe(chooseServer(ServerEvent::Dropped, {}, found, dead, mode, own.test())), "detach");
  lmr::forgetServer(found, dead.name);
  EXPECT_TRUE(found.empty());
  found = foundOf({dead});
  EXPECT_EQ(describe(chooseServer(ServerEvent::Resolved, keyOf(dead), found, kNotAttached, mode, own.test())),
            "attach _lumoraA@1 10.0.0.2:80");
  // A drop that comes when the agent is no longer attached changes nothing.
  EXPECT_EQ(describe(chooseServer(ServerEvent::Dropped, {}, found, kNotAttached, mode, own.test())), "none");

  // Only failures in a row after the confirm window drop it.
  const auto window = 10s;
  EXPECT_FALSE(lmr::dropsUnansweredServer(Agent::kApiFailuresBeforeDrop - 1, 60s, window));
  EXPECT_FALSE(lmr::dropsUnansweredServer(Agent::kApiFailuresBeforeDrop, 9999ms, window));
  EXPECT_TRUE(lmr::dropsUnansweredServer(Agent::kApiFailuresBeforeDrop, 10s, window));
  EXPECT_TRUE(lmr::dropsUnansweredServer(Agent::kApiFailuresBeforeDrop + 5, 60s, window));
}

TEST(ServerChoice, ReportsThatCount) {
  for (const char* name : {"_lumora", "_lumoraA", "_lumora-host (2)"}) EXPECT_TRUE(lmr::isServerName(name)) << name;
  for (const char* name : {"_Lumora", "lumora", "x_lumora", "_lumor", ""})
    EXPECT_FALSE(lmr::isServerName(name)) << name;
  EXPECT_FALSE(lmr::isServerName(nullptr));

  constexpr uint32_t kLoopbackIndex = 1;
  int asked = 0;
  const lmr::LoopbackInterfaceTest isLoopback = [&asked](uint32_t index) {
    ++asked;
    return index == kLoopbackIndex;
  };
  struct Case {
    const char* ip;
    uint32_t interfaceIndex;
    bool refused;
  };
  const std::vector<Case> cases{
      {"127.0.0.1", 2, true},  {"127.12.0.1", 2, true}, {"0.0.0.0", 2, true},          {"not an address", 2, true},
      {"::1", 2, true},        {"127.0.0.1", 1, false}, {"0.0.0.0", 1, false},         {"10.0.0.2", 2, false},
      {"128.0.0.1", 2, false}, {"10.0.0.2", 1, false},  {"126.255.255.255", 2, false},
  };
  for (const Case& test : cases) {
    EXPECT_EQ(lmr::refusesAddress(test.ip, test.interfaceIndex, isLoopback), test.refused)
        << test.ip << " on interface " << test.interfaceIndex;
  }
  // The interface is looked up only for addresses that name this host.
  EXPECT_EQ(asked, 7);
}

}  // namespace
