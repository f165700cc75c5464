// Publishes a service with avahi-publish and measures, in the same run, how long the zeroconf
// client's listener and `avahi-browse -r` each take to report it resolved, then to report its
// removal once the publisher is gone.
//   zeroconf_latency_bench [rounds]

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "zeroconf/src/browser.h"
#include "zeroconf/src/client.h"

extern char** environ;

namespace {

using clock_type = std::chrono::steady_clock;
using namespace std::chrono_literals;

// First time each (event, name) pair was seen: "+" resolved, "-" removed.
class sightings {
 public:
  void record(char event, const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    seen_.emplace(std::string(1, event) + name, clock_type::now());
    changed_.notify_all();
  }
  std::optional<clock_type::time_point> wait(char event, const std::string& name, std::chrono::seconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    const std::string key = std::string(1, event) + name;
    if (!changed_.wait_for(lock, timeout, [&] { return seen_.count(key) > 0; })) {
      return std::nullopt;
    }
    return seen_[key];
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<std::string, clock_type::time_point> seen_;
};

class client_listener : public zeroconf::browser_listener {
 public:
  explicit client_listener(sightings& seen) : seen_(seen) {}
  void service_resolved(uint32_t, const char* name, const char*, const char*, const char*, uint16_t,
                        const std::vector<std::string>&) override {
    seen_.record('+', name);
  }
  void service_removed(uint32_t, const char* name, const char*) override { seen_.record('-', name); }

 private:
  sightings& seen_;
};

pid_t spawn(std::vector<std::string> arguments, int stdout_fd = -1) {
  std::vector<char*> argv;
  for (std::string& argument : arguments) {
    argv.push_back(argument.data());
  }
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (stdout_fd >= 0) {
    posix_spawn_file_actions_adddup2(&actions, stdout_fd, STDOUT_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  }
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
    pid = -1;
  }
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

void stop(pid_t pid) {
  if (pid > 0) {
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
  }
}

// Reads `avahi-browse -p` lines: "=;if;proto;name;..." resolved, "-;if;proto;name;..." removed.
void read_avahi_browse(int fd, sightings& seen) {
  FILE* lines = fdopen(fd, "r");
  char buffer[4096];
  while (lines != nullptr && std::fgets(buffer, sizeof buffer, lines) != nullptr) {
    const std::string line = buffer;
    if (line.empty() || (line[0] != '=' && line[0] != '-')) {
      continue;
    }
    size_t field = 0;
    size_t start = 0;
    for (; field < 3 && start != std::string::npos; ++field) {
      start = line.find(';', start);
      start = start == std::string::npos ? start : start + 1;
    }
    if (start == std::string::npos) {
      continue;
    }
    seen.record(line[0] == '=' ? '+' : '-', line.substr(start, line.find(';', start) - start));
  }
  if (lines != nullptr) {
    std::fclose(lines);
  }
}

size_t entries_in(const char* directory) {
  size_t count = 0;
  if (DIR* listing = opendir(directory)) {
    while (readdir(listing) != nullptr) {
      ++count;
    }
    closedir(listing);
  }
  return count;
}

double milliseconds(clock_type::duration duration) {
  return std::chrono::duration<double, std::milli>(duration).count();
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0.0 : values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  sightings client_seen;
  sightings avahi_seen;

  std::shared_ptr<zeroconf::client> client(zeroconf::create_client(-1));
  auto browse = client->browse("", "_http._tcp", "_ravenna", std::make_shared<client_listener>(client_seen), false);
  if (!browse) {
    std::fprintf(stderr, "the client could not browse (is avahi-daemon running?)\n");
    return 1;
  }
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) {
    return 1;
  }
  const pid_t avahi_browse =
      spawn({"stdbuf", "-oL", "avahi-browse", "-r", "-p", "_ravenna._sub._http._tcp"}, pipe_fds[1]);
  close(pipe_fds[1]);
  std::thread reader(read_avahi_browse, pipe_fds[0], std::ref(avahi_seen));
  std::this_thread::sleep_for(1s);  // both browses settle

  std::vector<double> client_found, avahi_found, client_gone, avahi_gone;
  std::printf("round  client-resolved  avahi-browse-resolved  client-removed  avahi-browse-removed  (ms)\n");
  for (int round = 0; round < rounds; ++round) {
    const std::string name = "_lumora_bench_" + std::to_string(getpid()) + "_" + std::to_string(round);
    const auto published_at = clock_type::now();
    const pid_t publisher = spawn({"avahi-publish", "-s", name, "_http._tcp", std::to_string(30000 + round), "master:1",
                                   "--sub", "_ravenna._sub._http._tcp"});
    const auto client_at = client_seen.wait('+', name, 10s);
    const auto avahi_at = avahi_seen.wait('+', name, 10s);
    std::this_thread::sleep_for(200ms);
    const auto stopped_at = clock_type::now();
    stop(publisher);
    const auto client_removed_at = client_seen.wait('-', name, 10s);
    const auto avahi_removed_at = avahi_seen.wait('-', name, 10s);
    if (!client_at || !avahi_at || !client_removed_at || !avahi_removed_at) {
      std::printf("%5d  not reported within 10 s\n", round);
      continue;
    }
    client_found.push_back(milliseconds(*client_at - published_at));
    avahi_found.push_back(milliseconds(*avahi_at - published_at));
    client_gone.push_back(milliseconds(*client_removed_at - stopped_at));
    avahi_gone.push_back(milliseconds(*avahi_removed_at - stopped_at));
    std::printf("%5d  %15.1f  %21.1f  %14.1f  %20.1f\n", round, client_found.back(), avahi_found.back(),
                client_gone.back(), avahi_gone.back());
  }
  std::printf("median %14.1f  %21.1f  %14.1f  %20.1f\n", median(client_found), median(avahi_found), median(client_gone),
              median(avahi_gone));
  if (!client_found.empty()) {
    std::printf("client minus avahi-browse (median of resolved): %.1f ms\n",
                median(client_found) - median(avahi_found));
  }

  // Churn: many services appear and vanish at once; every resolve must end and give back its
  // descriptors and the library's threads.
  constexpr int kChurn = 30;
  const size_t fds_before = entries_in("/proc/self/fd");
  const size_t threads_before = entries_in("/proc/self/task");
  std::vector<pid_t> publishers;
  std::vector<std::string> names;
  const auto churn_start = clock_type::now();
  for (int index = 0; index < kChurn; ++index) {
    names.push_back("_lumora_churn_" + std::to_string(getpid()) + "_" + std::to_string(index));
    publishers.push_back(spawn({"avahi-publish", "-s", names.back(), "_http._tcp", std::to_string(31000 + index),
                                "--sub", "_ravenna._sub._http._tcp"}));
  }
  int resolved = 0;
  for (const std::string& name : names) {
    resolved += client_seen.wait('+', name, 15s) ? 1 : 0;
  }
  const double all_resolved_ms = milliseconds(clock_type::now() - churn_start);
  for (pid_t publisher : publishers) {
    stop(publisher);
  }
  int removed = 0;
  for (const std::string& name : names) {
    removed += client_seen.wait('-', name, 15s) ? 1 : 0;
  }
  std::this_thread::sleep_for(500ms);
  std::printf(
      "churn of %d services: %d resolved (all within %.0f ms), %d removed; descriptors %zu -> %zu, "
      "threads %zu -> %zu\n",
      kChurn, resolved, all_resolved_ms, removed, fds_before, entries_in("/proc/self/fd"), threads_before,
      entries_in("/proc/self/task"));

  stop(avahi_browse);
  reader.join();
  browse.reset();
  return client_found.size() == static_cast<size_t>(rounds) ? 0 : 1;
}
