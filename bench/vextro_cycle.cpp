// vextro_cycle [proxies] [rounds]: measures the device-proxy refresh work against simulated
// devices on 127.0.0.1 (no injected delay):
//  - CPU time (of the calling thread: page client, state build, compare, diff) and wall time of
//    one refresh cycle of one proxy, for an unchanged device and for one that changed;
//  - wall time of one round in which every proxy of N (default 100) runs its cycle, as the
//    refresh threads do one after another under the global lock, and that round as a fraction
//    of the 5000 ms refresh period.
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "plugins/vextro/src/DeviceModels.h"
#include "plugins/vextro/src/RavennaDeviceProxy.h"
#include "testing/temp_dir.h"
#include "testing/vextro_sim/sim_device.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr double kRefreshPeriodMs = 5000.0;

double ThreadCpuMs() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

double MsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// The refresh threads stay idle: the benchmark runs the cycles itself.
Vextro::Timings IdleThreads() {
  Vextro::Timings timings;
  timings.refreshPeriod = std::chrono::hours(1);
  return timings;
}

struct CycleCost {
  double cpuMs;
  double wallMs;
};

CycleCost MeasureCycles(vextro_sim::SimDevice& device, Vextro::RavennaDeviceProxy& proxy, int cycles, bool change) {
  const double cpuStart = ThreadCpuMs();
  const auto wallStart = Clock::now();
  for (int i = 0; i < cycles; ++i) {
    if (change) device.setConfig("CONFIG_PARAM_AUDIO_CLIENT_STREAM_1_ENABLE", i % 2 == 0 ? "1" : "0");
    proxy.RunRefreshCycle();
  }
  return {(ThreadCpuMs() - cpuStart) / cycles, MsSince(wallStart) / cycles};
}

}  // namespace

int main(int argc, char** argv) {
  const int proxyCount = argc > 1 ? std::max(1, std::atoi(argv[1])) : 100;
  const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
  testing_support::TempDir appData;
  setenv("APPDATA", appData.path().c_str(), 1);
  const auto model = std::make_shared<Vextro::CantorConfig>();

  {
    vextro_sim::SimDevice device;
    Vextro::RavennaDeviceProxy proxy(1, "127.0.0.1", device.port(), model, IdleThreads());
    MeasureCycles(device, proxy, 20, false);  // warm-up
    const CycleCost unchanged = MeasureCycles(device, proxy, 200, false);
    const CycleCost changed = MeasureCycles(device, proxy, 200, true);
    std::printf("config page: %zu parameters, statistics page: %zu parameters\n", device.config().size(),
                device.statistics().size());
    std::printf("one cycle, unchanged device: cpu %.3f ms, wall %.3f ms\n", unchanged.cpuMs, unchanged.wallMs);
    std::printf("one cycle, changed device:   cpu %.3f ms, wall %.3f ms\n", changed.cpuMs, changed.wallMs);
  }

  std::vector<std::unique_ptr<vextro_sim::SimDevice>> devices;
  std::vector<std::unique_ptr<Vextro::RavennaDeviceProxy>> proxies;
  const auto createStart = Clock::now();
  for (int i = 0; i < proxyCount; ++i) {
    vextro_sim::SimOptions options;
    options.deviceName = "Sim " + std::to_string(i);
    devices.push_back(std::make_unique<vextro_sim::SimDevice>(options));
    proxies.push_back(std::make_unique<Vextro::RavennaDeviceProxy>(static_cast<uint32_t>(i), "127.0.0.1",
                                                                     devices.back()->port(), model, IdleThreads()));
  }
  const double createMs = MsSince(createStart);
  std::vector<double> roundMs;
  for (int round = 0; round < rounds; ++round) {
    const auto start = Clock::now();
    for (auto& proxy : proxies) proxy->RunRefreshCycle();
    roundMs.push_back(MsSince(start));
  }
  const double median = Median(roundMs);
  std::printf("%d proxies created in %.1f ms\n", proxyCount, createMs);
  std::printf("round of %d proxies: median %.1f ms over %d rounds (%.2f%% of the %.0f ms period)\n", proxyCount,
              median, rounds, 100.0 * median / kRefreshPeriodMs, kRefreshPeriodMs);
  const auto deleteStart = Clock::now();
  proxies.clear();
  std::printf("%d proxies deleted in %.1f ms\n", proxyCount, MsSince(deleteStart));
  return 0;
}
