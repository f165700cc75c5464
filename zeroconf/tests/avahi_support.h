#pragma once

// Shared by the tests against a running avahi-daemon: unique names and ports, a publishing
// avahi-publish process, and the check of a reported service.

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "zeroconf/tests/test_support.h"

extern char** environ;

namespace zeroconf_test {

inline constexpr auto kAvahiTimeout = 10s;

inline std::string host_name() {
  char name[256] = {};
  gethostname(name, sizeof name - 1);
  return name;
}

// Not "_lumora...": an agent under test in the same namespace would take such a service for an
// engine and attach to it.
inline constexpr const char* kNamePrefix = "zeroconf_test_";

inline std::string unique_name(const std::string& stem) { return kNamePrefix + stem + "_" + std::to_string(getpid()); }

inline uint16_t unique_port() { return static_cast<uint16_t>(20000 + getpid() % 20000); }

// An avahi-publish process announcing one service until destroyed or stopped.
class publisher {
 public:
  publisher(const std::string& name, uint16_t port) {
    const std::string port_text = std::to_string(port);
    std::vector<std::string> arguments = {"avahi-publish", "-s",       name,    "_http._tcp",
                                          port_text,       "master:1", "--sub", "_ravenna._sub._http._tcp"};
    std::vector<char*> argv;
    for (std::string& argument : arguments) {
      argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    if (posix_spawnp(&pid_, "avahi-publish", nullptr, nullptr, argv.data(), environ) != 0) {
      pid_ = -1;
    }
  }
  ~publisher() { stop(); }
  publisher(const publisher&) = delete;
  publisher& operator=(const publisher&) = delete;

  [[nodiscard]] bool running() const { return pid_ > 0; }
  void stop() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
  }

 private:
  pid_t pid_ = -1;
};

inline void expect_reported(const browse_event& event, const std::string& name, uint16_t port) {
  EXPECT_TRUE(event.resolved);
  EXPECT_EQ(name, event.name);
  EXPECT_EQ("_http._tcp.", event.regtype);
  EXPECT_EQ(host_name() + ".local.", event.host_name);
  EXPECT_EQ("127.0.0.1", event.address);
  EXPECT_EQ(port, event.port);
  EXPECT_EQ(std::vector<std::string>{"master:1"}, event.txt);
}

}  // namespace zeroconf_test
