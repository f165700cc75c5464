// vextro_cycle [proxies] [rounds]: measures the device-proxy refresh work against simulated
// devices on 127.0.0.1 (no injected delay):
//  - CPU time (of the calling thread: page client, state build, compare, diff) and wall time of
//    one refresh cycle of one proxy, for an unchanged device and for one that changed;
//  - the floors next to them, from the same run, over plain blocking sockets: for a changed
//    device the same two GETs with their header lines split into a map; for an unchanged one what
//    the product really has to do, the two GETs and a byte comparison with the last blocks (it
//    skips the parse then). The ratio of each cycle's CPU time to its floor (changed device: one
//    value; changed lines: a parameter line comes or goes too);
//  - wall time of one round in which every proxy of N (default 100) runs its cycle, as the
//    refresh threads do one after another under the global lock, and that round as a fraction
//    of the 5000 ms refresh period.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
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

enum class Change { None, Value, Lines };

// Value: one receiver enabled and disabled in turn. Lines: the same, and a parameter line comes
// and goes.
CycleCost MeasureCycles(vextro_sim::SimDevice& device, Vextro::RavennaDeviceProxy& proxy, int cycles, Change change) {
  const double cpuStart = ThreadCpuMs();
  const auto wallStart = Clock::now();
  for (int i = 0; i < cycles; ++i) {
    if (change != Change::None) device.setConfig("CONFIG_PARAM_AUDIO_CLIENT_STREAM_1_ENABLE", i % 2 == 0 ? "1" : "0");
    if (change == Change::Lines && i % 2 == 0) device.setConfig("BENCH_EXTRA_LINE", "1");
    if (change == Change::Lines && i % 2 == 1) device.eraseConfig("BENCH_EXTRA_LINE");
    proxy.RunRefreshCycle();
  }
  return {(ThreadCpuMs() - cpuStart) / cycles, MsSince(wallStart) / cycles};
}

std::string RawRequest(const std::string& path, uint16_t port) {
  return "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
         "\r\nAccept: text/*,*/*\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
}

// One GET over a blocking socket: the header block as received, up to its blank line.
std::string RawHeaderBlock(uint16_t port, const std::string& request) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
    throw std::runtime_error("raw fetch failed");
  }
  std::string received;
  char chunk[65536];
  std::size_t end = std::string::npos;
  while (end == std::string::npos) {
    const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) throw std::runtime_error("raw fetch closed early");
    received.append(chunk, static_cast<std::size_t>(n));
    end = received.find("\r\n\r\n");
  }
  ::close(fd);
  received.resize(end + 4);
  return received;
}

// One GET; the header lines (after the status line) split into a map.
std::map<std::string, std::string> RawFetch(uint16_t port, const std::string& request) {
  const std::string received = RawHeaderBlock(port, request);
  const std::size_t end = received.size() - 4;  // where "\r\n\r\n" begins
  std::map<std::string, std::string> parameters;
  std::size_t begin = received.find("\r\n") + 2;
  while (begin < end) {
    const std::size_t lineEnd = received.find("\r\n", begin);
    const std::size_t colon = received.find(':', begin);
    if (colon < lineEnd) {
      const std::size_t value = colon + 2 <= lineEnd ? colon + 2 : lineEnd;
      parameters.emplace(received.substr(begin, colon - begin), received.substr(value, lineEnd - value));
    }
    begin = lineEnd + 2;
  }
  return parameters;
}

double MeasureFloor(uint16_t port, int cycles) {
  const std::string config = RawRequest("/config.htm", port);
  const std::string statistics = RawRequest("/statistic.htm", port);
  std::size_t parameters = 0;
  const double cpuStart = ThreadCpuMs();
  for (int i = 0; i < cycles; ++i) {
    parameters += RawFetch(port, config).size() + RawFetch(port, statistics).size();
  }
  const double cpuMs = (ThreadCpuMs() - cpuStart) / cycles;
  if (parameters == 0) throw std::runtime_error("raw fetch found no parameters");
  return cpuMs;
}

// The floor of an unchanged cycle: both blocks fetched and compared with the previous ones.
double MeasureUnchangedFloor(uint16_t port, int cycles) {
  const std::string config = RawRequest("/config.htm", port);
  const std::string statistics = RawRequest("/statistic.htm", port);
  std::string lastConfig = RawHeaderBlock(port, config);
  std::string lastStatistics = RawHeaderBlock(port, statistics);
  int same = 0;
  const double cpuStart = ThreadCpuMs();
  for (int i = 0; i < cycles; ++i) {
    std::string configBlock = RawHeaderBlock(port, config);
    std::string statisticsBlock = RawHeaderBlock(port, statistics);
    same += configBlock == lastConfig && statisticsBlock == lastStatistics ? 1 : 0;
    lastConfig = std::move(configBlock);
    lastStatistics = std::move(statisticsBlock);
  }
  const double cpuMs = (ThreadCpuMs() - cpuStart) / cycles;
  if (same != cycles) throw std::runtime_error("an unchanged device's pages changed");
  return cpuMs;
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
    MeasureCycles(device, proxy, 20, Change::None);  // warm-up
    MeasureFloor(device.port(), 20);
    MeasureUnchangedFloor(device.port(), 20);
    const double floorMs = MeasureFloor(device.port(), 200);
    const double unchangedFloorMs = MeasureUnchangedFloor(device.port(), 200);
    const CycleCost unchanged = MeasureCycles(device, proxy, 200, Change::None);
    const CycleCost changed = MeasureCycles(device, proxy, 200, Change::Value);
    const CycleCost reparsed = MeasureCycles(device, proxy, 200, Change::Lines);
    std::printf("config page: %zu parameters, statistics page: %zu parameters\n", device.config().size(),
                device.statistics().size());
    std::printf("floor (two raw GETs, header lines into a map): cpu %.3f ms\n", floorMs);
    std::printf("unchanged floor (two raw GETs, blocks compared with the last ones): cpu %.3f ms\n", unchangedFloorMs);
    std::printf(
        "one cycle, unchanged device: cpu %.3f ms, wall %.3f ms, cpu ratio to floor %.2f, to unchanged floor "
        "%.2f\n",
        unchanged.cpuMs, unchanged.wallMs, unchanged.cpuMs / floorMs, unchanged.cpuMs / unchangedFloorMs);
    std::printf("one cycle, changed device:   cpu %.3f ms, wall %.3f ms, cpu ratio to floor %.2f\n", changed.cpuMs,
                changed.wallMs, changed.cpuMs / floorMs);
    std::printf("one cycle, changed lines:    cpu %.3f ms, wall %.3f ms, cpu ratio to floor %.2f\n", reparsed.cpuMs,
                reparsed.wallMs, reparsed.cpuMs / floorMs);
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
  std::printf("round of %d proxies: median %.1f ms over %d rounds (%.2f%% of the %.0f ms period)\n", proxyCount, median,
              rounds, 100.0 * median / kRefreshPeriodMs, kRefreshPeriodMs);
  const auto deleteStart = Clock::now();
  proxies.clear();
  std::printf("%d proxies deleted in %.1f ms\n", proxyCount, MsSince(deleteStart));
  return 0;
}
