#include "testing/avahi_daemon.h"

#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <fstream>

#include "testing/run_command.h"
#include "testing/wait_until.h"

namespace testing_support {
namespace {

constexpr const char* kPidFile = "/run/avahi-daemon/pid";
constexpr std::chrono::seconds kTimeout{5};
constexpr std::chrono::milliseconds kStep{50};

}  // namespace

// Quiet: a test may capture this process's output, which the daemon must not hold open.
bool avahiDaemonRunning() { return std::system("avahi-daemon --check >/dev/null 2>&1") == 0; }

bool startAvahiDaemon(const std::string& configFile) {
  const std::string command =
      "avahi-daemon --daemonize --no-chroot --no-rlimits --file=" + configFile + " >/dev/null 2>&1";
  return std::system(command.c_str()) == 0 && waitUntil(avahiDaemonRunning, kTimeout, kStep);
}

bool stopAvahiDaemon() {
  pid_t pid = 0;
  std::ifstream(kPidFile) >> pid;
  if (pid <= 0 || ::kill(pid, SIGTERM) != 0) return false;
  return waitUntil([pid] { return ::waitpid(pid, nullptr, WNOHANG) == pid || ::kill(pid, 0) != 0; }, kTimeout, kStep);
}

std::vector<std::string> avahiBrowseResolved(const std::string& type) {
  const std::string command =
      "timeout " + std::to_string(kTimeout.count()) + " avahi-browse -prt " + shellWord(type) + " 2>/dev/null";
  std::vector<std::string> resolved;
  for (const std::string& line : splitLines(runCommand(command).output)) {
    if (line.rfind("=;", 0) == 0) resolved.push_back(line);
  }
  return resolved;
}

}  // namespace testing_support
