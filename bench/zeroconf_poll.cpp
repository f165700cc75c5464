// Costs of the DNS-SD client's poll thread, measured against the fake DNS-SD library: time from
// a reply becoming readable to the listener call, client destruction latency, time from a new
// operation's start to its first reply, and wake-ups per second of an idle poll thread (empty,
// and watching one browse). Then the destruction and wake-up figures again with the real library
// the product uses (avahi's libdns_sd; the browse needs a running avahi-daemon, e.g. inside
// scripts/in-test-namespace.sh). The reference, from the same run: a bare thread blocked in poll()
// on an eventfd, woken by one write (and joined, for the destruction).
//   zeroconf_poll_bench   (runs itself twice: with LUMORA_DNSSD_LIBRARY set to the fake, then unset)

#include <dirent.h>
#include <poll.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "testing/dnssd_fake/dnssd_fake.h"
#include "zeroconf/src/browser.h"
#include "zeroconf/src/client.h"
#include "zeroconf/src/dnssd_binding.h"

namespace {

using clock_type = std::chrono::steady_clock;
using namespace std::chrono_literals;

class counting_listener : public zeroconf::browser_listener {
 public:
  void service_resolved(uint32_t, const char*, const char*, const char*, const char*, uint16_t,
                        const std::vector<std::string>&) override {}
  void service_removed(uint32_t, const char*, const char*) override {
    std::lock_guard<std::mutex> lock(mutex_);
    ++removals_;
    arrived_ = clock_type::now();
    changed_.notify_all();
  }
  clock_type::time_point wait(int count) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, 5s, [&] { return removals_ >= count; });
    return arrived_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int removals_ = 0;
  clock_type::time_point arrived_;
};

// Voluntary context switches of all threads of this process: one per sleep or blocking wait.
long voluntary_switches() {
  long total = 0;
  DIR* tasks = opendir("/proc/self/task");
  while (dirent* entry = tasks != nullptr ? readdir(tasks) : nullptr) {
    std::ifstream status(std::string("/proc/self/task/") + entry->d_name + "/status");
    std::string line;
    while (std::getline(status, line)) {
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0) {
        total += std::stol(line.substr(line.find(':') + 1));
      }
    }
  }
  if (tasks != nullptr) {
    closedir(tasks);
  }
  return total;
}

double idle_wakeups_per_second(bool with_browse) {
  std::shared_ptr<zeroconf::client> client(zeroconf::create_client(0));
  std::shared_ptr<zeroconf::browser> browse;
  if (with_browse) {
    browse = client->browse("", "_http._tcp", "", std::make_shared<counting_listener>(), false);
  }
  std::this_thread::sleep_for(300ms);
  const long before = voluntary_switches();
  std::this_thread::sleep_for(2s);
  // The sleeping main thread adds one switch.
  return static_cast<double>(voluntary_switches() - before - 1) / 2.0;
}

// The same count for the reference thread, idle in its poll().
double reference_idle_wakeups_per_second() {
  const int fd = eventfd(0, EFD_CLOEXEC);
  std::thread waiter([fd] {
    pollfd entry{fd, POLLIN, 0};
    ::poll(&entry, 1, -1);
  });
  std::this_thread::sleep_for(300ms);
  const long before = voluntary_switches();
  std::this_thread::sleep_for(2s);
  const double rate = static_cast<double>(voluntary_switches() - before - 1) / 2.0;
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = ::write(fd, &one, sizeof one);
  waiter.join();
  close(fd);
  return rate;
}

double percentile(std::vector<double> values, double fraction) {
  std::sort(values.begin(), values.end());
  return values[static_cast<size_t>(fraction * static_cast<double>(values.size() - 1))];
}

double ms_since(clock_type::time_point start) {
  return std::chrono::duration<double, std::milli>(clock_type::now() - start).count();
}

// The reference: one write to the eventfd a bare thread polls, until that thread has ended.
double reference_wake_and_join_ms() {
  const int fd = eventfd(0, EFD_CLOEXEC);
  std::thread waiter([fd] {
    pollfd entry{fd, POLLIN, 0};
    ::poll(&entry, 1, -1);
  });
  std::this_thread::sleep_for(5ms);
  const auto start = clock_type::now();
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = ::write(fd, &one, sizeof one);
  waiter.join();
  const double elapsed = ms_since(start);
  close(fd);
  return elapsed;
}

// An idle client starts a browse whose reply is already queued: time to the listener call.
double new_operation_ms(int round) {
  std::shared_ptr<zeroconf::client> client(zeroconf::create_client(0));
  std::this_thread::sleep_for(std::chrono::milliseconds(5 + 13 * round % 100));
  auto listener = std::make_shared<counting_listener>();
  const auto start = clock_type::now();
  auto browse = client->browse("", "_http._tcp", "", listener, false);
  dnssd_fake::reply_browse(dnssd_fake::operations().back().ref, 0, 1, 0, "x", "_http._tcp.", "local.");
  const auto arrived = listener->wait(1);
  return std::chrono::duration<double, std::milli>(arrived - start).count();
}

void ignore_browse(DNSServiceRef, DNSServiceFlags, uint32_t, DNSServiceErrorType, const char*, const char*, const char*,
                   void*) {}

// Which library a run measures; the DNS-SD library is loaded before main, so each is a process.
constexpr const char* kRunVariable = "LUMORA_POLL_BENCH_RUN";

// Runs this program again with the library chosen; its exit code.
int run_with(char** argv, const char* run, const std::string& library) {
  setenv(kRunVariable, run, 1);
  if (library.empty()) {
    unsetenv("LUMORA_DNSSD_LIBRARY");
  } else {
    setenv("LUMORA_DNSSD_LIBRARY", library.c_str(), 1);
  }
  pid_t child = -1;
  if (posix_spawn(&child, "/proc/self/exe", nullptr, nullptr, argv, environ) != 0) {
    std::perror("posix_spawn");
    return 1;
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

struct destruction_figures {
  double destroy_median_ms;
  double destroy_max_ms;
  double reference_ms;
};

// Destruction of an idle client from another thread, against the reference from the same rounds.
// new_operation (may be empty) runs in each round too.
destruction_figures measure_destruction(const std::function<void(int)>& new_operation) {
  std::vector<double> destroy_ms;
  std::vector<double> reference_ms;
  for (int round = 0; round < 20; ++round) {
    std::unique_ptr<zeroconf::client> created(zeroconf::create_client(0));
    std::this_thread::sleep_for(std::chrono::milliseconds(13 * round % 100));
    const auto start = clock_type::now();
    created.reset();
    destroy_ms.push_back(ms_since(start));
    reference_ms.push_back(reference_wake_and_join_ms());
    if (new_operation) new_operation(round);
  }
  return {percentile(destroy_ms, 0.5), percentile(destroy_ms, 1.0), percentile(reference_ms, 0.5)};
}

void print_destruction(const destruction_figures& figures) {
  std::printf(
      "client destruction from another thread: median %.3f ms, max %.3f ms (20 clients); reference "
      "median %.3f ms; ratio %.1f\n",
      figures.destroy_median_ms, figures.destroy_max_ms, figures.reference_ms,
      figures.destroy_median_ms / figures.reference_ms);
}

void print_wakeups(bool with_browse) {
  const double empty = idle_wakeups_per_second(false);
  char browsing[32] = "not measured";
  if (with_browse) std::snprintf(browsing, sizeof browsing, "%.1f", idle_wakeups_per_second(true));
  std::printf("idle wake-ups per second: empty client %.1f, client watching one browse %s; reference %.1f\n", empty,
              browsing, reference_idle_wakeups_per_second());
}

// With avahi's library: what does not need replies to be scripted.
int measure_avahi() {
  std::printf("with avahi's libdns_sd:\n");
  print_destruction(measure_destruction({}));
  // Without a daemon, a browse fails at once (the client would retry it, waking up meanwhile).
  DNSServiceRef probe = nullptr;
  const bool daemon = zeroconf::DNSServiceBrowse(&probe, 0, 0, "_http._tcp", nullptr, &ignore_browse, nullptr) ==
                      kDNSServiceErr_NoError;
  if (daemon) zeroconf::DNSServiceRefDeallocate(probe);
  if (!daemon) std::printf("(no avahi-daemon answers: the browse is not measured; run in the test namespace)\n");
  print_wakeups(daemon);
  return 0;
}

}  // namespace

int main(int, char** argv) {
  const char* run = std::getenv(kRunVariable);
  if (run == nullptr) {
    const std::string self = argv[0];
    const std::string fake = self.substr(0, self.rfind('/') + 1) + "../testing/dnssd_fake/liblumora_dnssd_fake.so";
    const int fake_status = run_with(argv, "fake", fake);
    std::fflush(stdout);
    const int avahi_status = run_with(argv, "avahi", "");
    return fake_status != 0 ? fake_status : avahi_status;
  }
  if (std::string(run) == "avahi") return measure_avahi();

  std::printf("with the fake DNS-SD library:\n");
  {
    std::shared_ptr<zeroconf::client> client(zeroconf::create_client(0));
    auto listener = std::make_shared<counting_listener>();
    auto browse = client->browse("", "_http._tcp", "", listener, false);
    const auto ref = dnssd_fake::operations().back().ref;
    std::vector<double> latencies;
    for (int round = 1; round <= 500; ++round) {
      const auto sent = clock_type::now();
      dnssd_fake::reply_browse(ref, 0, 1, 0, "x", "_http._tcp.", "local.");
      latencies.push_back(std::chrono::duration<double, std::micro>(listener->wait(round) - sent).count());
    }
    std::printf("reply readable -> listener call: median %.1f us, p99 %.1f us, max %.1f us (500 replies)\n",
                percentile(latencies, 0.5), percentile(latencies, 0.99), percentile(latencies, 1.0));
  }

  std::vector<double> start_ms;
  const destruction_figures destruction =
      measure_destruction([&](int round) { start_ms.push_back(new_operation_ms(round)); });
  print_destruction(destruction);
  std::printf(
      "new operation on an idle client, start -> first reply: median %.3f ms, max %.3f ms; reference "
      "median %.3f ms; ratio %.1f\n",
      percentile(start_ms, 0.5), percentile(start_ms, 1.0), destruction.reference_ms,
      percentile(start_ms, 0.5) / destruction.reference_ms);
  print_wakeups(true);
  return 0;
}
