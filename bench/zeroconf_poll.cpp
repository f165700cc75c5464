// Costs of the DNS-SD client's poll thread, measured against the fake DNS-SD library: time from
// a reply becoming readable to the listener call, client destruction latency, and wake-ups per
// second of an idle poll thread (empty, and watching one browse).
//   zeroconf_poll_bench   (re-executes itself with LUMORA_DNSSD_LIBRARY set to the fake)

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "testing/dnssd_fake/dnssd_fake.h"
#include "zeroconf/src/browser.h"
#include "zeroconf/src/client.h"

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

double percentile(std::vector<double> values, double fraction) {
  std::sort(values.begin(), values.end());
  return values[static_cast<size_t>(fraction * static_cast<double>(values.size() - 1))];
}

}  // namespace

int main(int, char** argv) {
  if (std::getenv("LUMORA_DNSSD_LIBRARY") == nullptr) {
    const std::string self = argv[0];
    const std::string fake = self.substr(0, self.rfind('/') + 1) + "../testing/dnssd_fake/liblumora_dnssd_fake.so";
    setenv("LUMORA_DNSSD_LIBRARY", fake.c_str(), 1);
    execv("/proc/self/exe", argv);
    std::perror("execv");
    return 1;
  }

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

  std::vector<double> destroy_ms;
  for (int round = 0; round < 20; ++round) {
    std::unique_ptr<zeroconf::client> created(zeroconf::create_client(0));
    std::this_thread::sleep_for(std::chrono::milliseconds(13 * round % 100));
    const auto start = clock_type::now();
    created.reset();
    destroy_ms.push_back(std::chrono::duration<double, std::milli>(clock_type::now() - start).count());
  }
  std::printf("client destruction from another thread: median %.1f ms, max %.1f ms (20 clients)\n",
              percentile(destroy_ms, 0.5), percentile(destroy_ms, 1.0));

  std::printf("idle wake-ups per second: empty client %.1f, client watching one browse %.1f\n",
              idle_wakeups_per_second(false), idle_wakeups_per_second(true));
  return 0;
}
