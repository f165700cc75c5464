#pragma once

// Agent cases that each run in a network, mount and pid namespace of their own, with their own bus,
// interfaces and avahi-daemon (which the case starts itself): NetworkInner.<case> is run by the
// outer parameterised case Network.InItsOwnNamespace, instantiated with the inner cases' names.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <string>

#include "agent/tests/AgentTestSupport.h"
#include "testing/avahi_daemon.h"
#include "testing/count_of.h"
#include "testing/stdout_capture.h"
#include "testing/temp_dir.h"

namespace agent_testing {

using Clock = std::chrono::steady_clock;

inline constexpr const char* kInnerVariable = "LUMORA_AGENT_NETWORK_INNER";

inline long long millisecondsSince(Clock::time_point start) {
  return static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

inline bool run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

inline std::string hostName() {
  char name[256] = {};
  ::gethostname(name, sizeof(name) - 1);
  return name;
}

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
  static long instances(const lmr::Agent& agent, const std::string& name) {
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
  testing_support::StdoutCapture capture_;
  std::string log_;
};

// Outer cases: each runs its inner case in a namespace of its own.
class Network : public ::testing::TestWithParam<const char*> {};

}  // namespace agent_testing
