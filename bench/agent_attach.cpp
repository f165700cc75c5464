// Publishes engine-like services one after another with avahi-publish and measures, in one run,
// how long the agent (mode Slave) takes to log "Attached to" each of them, and how long
// avahi-browse -r takes to print the resolved line for the same service.
//   agent_attach [rounds]        (default 15)
#include <QGuiApplication>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "agent/src/Agent.h"
#include "agent/src/Config.h"
#include "testing/temp_dir.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kRoundTimeout = 5s;

// Time of each event by key, with a wait for one key.
class Stamps {
 public:
  void add(const std::string& key) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stamps_.emplace(key, Clock::now());
    }
    changed_.notify_all();
  }
  std::optional<Clock::time_point> waitFor(const std::string& key, Clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!changed_.wait_until(lock, deadline, [&] { return stamps_.count(key) != 0; })) return std::nullopt;
    return stamps_[key];
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<std::string, Clock::time_point> stamps_;
};

class Recorder : public lmr::Agent::Listener {
 public:
  void onAttached(const std::string& address) override { attached.add(address); }
  void onDetached(const std::string& address) override { detached.add(address); }
  void onNotification(const std::string&) override {}
  void onEngineDied() override {}
  Stamps attached;
  Stamps detached;
};

pid_t spawn(const std::vector<std::string>& arguments, int stdoutFd = -1) {
  std::vector<char*> argv;
  for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (stdoutFd >= 0) posix_spawn_file_actions_adddup2(&actions, stdoutFd, STDOUT_FILENO);
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

void stop(pid_t pid) {
  if (pid <= 0) return;
  ::kill(pid, SIGTERM);
  int status = 0;
  ::waitpid(pid, &status, 0);
}

double milliseconds(Clock::duration duration) { return std::chrono::duration<double, std::milli>(duration).count(); }

double median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t middle = values.size() / 2;
  return values.size() % 2 != 0 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  setenv("AVAHI_COMPAT_NOWARN", "1", 0);
  testing_support::TempDir home;
  setenv("APPDATA", home.path().c_str(), 1);
  setenv("PROGRAMDATA", home.path().c_str(), 1);
  QGuiApplication application(argc, argv);

  lmr::Config& config = lmr::Config::instance();
  config.load();
  config.findOrCreate({"mode"}).SetInt(static_cast<int>(lmr::Agent::kModeSlave));
  lmr::Agent agent;
  Recorder recorder;
  agent.addListener(&recorder);
  agent.startSearch();

  // avahi-browse's resolved lines, parsable form: "=;lo;IPv4;<name>;_http._tcp;local;host;ip;port;txt".
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) return 1;
  const pid_t browser = spawn({"stdbuf", "-oL", "avahi-browse", "-r", "-p", "_ravenna._sub._http._tcp"}, pipeFds[1]);
  ::close(pipeFds[1]);
  if (browser <= 0) {
    std::fprintf(stderr, "cannot start avahi-browse\n");
    return 1;
  }
  Stamps browsed;
  std::thread reader([&] {
    std::string line;
    char c;
    while (::read(pipeFds[0], &c, 1) == 1) {
      if (c != '\n') {
        line += c;
        continue;
      }
      if (line.rfind("=;", 0) == 0) {
        const size_t start = line.find(';', line.find(';', 2) + 1) + 1;
        browsed.add(line.substr(start, line.find(';', start) - start));
      }
      line.clear();
    }
  });
  std::this_thread::sleep_for(500ms);  // both browses running before the first publication

  std::vector<double> agentTimes;
  std::vector<double> browseTimes;
  for (int round = 0; round < rounds; ++round) {
    const std::string name = "_lumoraB" + std::to_string(::getpid()) + "_" + std::to_string(round);
    const int port = 30000 + round;
    const std::string address = "127.0.0.1:" + std::to_string(port);
    const Clock::time_point published = Clock::now();
    const pid_t publisher =
        spawn({"avahi-publish", "-s", name, "_http._tcp", std::to_string(port), "--subtype=_ravenna._sub._http._tcp"});
    const auto attached = recorder.attached.waitFor(address, published + kRoundTimeout);
    const auto resolved = browsed.waitFor(name, published + kRoundTimeout);
    stop(publisher);
    if (attached && resolved) {
      agentTimes.push_back(milliseconds(*attached - published));
      browseTimes.push_back(milliseconds(*resolved - published));
      std::fprintf(stderr, "round %d: agent %.1f ms, avahi-browse %.1f ms\n", round, agentTimes.back(),
                   browseTimes.back());
    } else {
      std::fprintf(stderr, "round %d: %s%s within %lld s\n", round, attached ? "" : "no attachment ",
                   resolved ? "" : "no avahi-browse line ", static_cast<long long>(kRoundTimeout.count()));
    }
    recorder.detached.waitFor(address, Clock::now() + kRoundTimeout);
    std::this_thread::sleep_for(200ms);
  }
  stop(browser);
  reader.join();
  ::close(pipeFds[0]);

  const double agentMedian = median(agentTimes);
  const double browseMedian = median(browseTimes);
  std::printf("agent_attach: %zu of %d rounds measured\n", agentTimes.size(), rounds);
  std::printf("  publication -> agent \"Attached to\":     median %8.1f ms\n", agentMedian);
  std::printf("  publication -> avahi-browse -r resolved: median %8.1f ms\n", browseMedian);
  std::printf("  difference (agent - avahi-browse):       %8.1f ms\n", agentMedian - browseMedian);
  return agentTimes.empty() ? 1 : 0;
}
