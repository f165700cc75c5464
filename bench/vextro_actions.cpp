// vextro_actions [repeats]: cost of the device actions against a simulated device on 127.0.0.1
// (no injected delay): wall time per action list (p50/p99) with its device writes and the change
// report inside the call, the time from the call to its change record, the time from a receiver's
// creation to its connected record, and how long deleting a proxy takes idle and mid-cycle.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "plugins/vextro/src/DeviceModels.h"
#include "plugins/vextro/src/RavennaDeviceProxy.h"
#include "testing/temp_dir.h"
#include "testing/vextro_sim/sim_device.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr const char* kCreateStreamer =
    R"([{"Path":"Actions.CreateStreamer","Data":{"StreamName":"S","Mapping":[{"IOGroupId":0,"InputId":0},)"
    R"({"IOGroupId":0,"InputId":1}]}}])";
constexpr const char* kDeleteStreamer = R"([{"Path":"Actions.DeleteStreamer","Data":{"Id":0}}])";
constexpr const char* kSetRate96 = R"([{"Path":"Actions.SetSampleRate","Data":{"SampleRate":96000}}])";
constexpr const char* kSetRate48 = R"([{"Path":"Actions.SetSampleRate","Data":{"SampleRate":48000}}])";
constexpr const char* kCreateReceiver =
    R"([{"Path":"Actions.CreateReceiver","Data":{"StreamName":"Mic","Mapping":[{"Outputs":[)"
    R"({"IOGroupId":0,"OutputId":0},{"IOGroupId":0,"OutputId":1}]}]}}])";
constexpr const char* kDeleteReceiver = R"([{"Path":"Actions.DeleteReceiver","Data":{"Id":0}}])";

double MsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double Percentile(std::vector<double> values, double fraction) {
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, static_cast<std::size_t>(fraction * static_cast<double>(values.size())))];
}

void Report(const char* what, const std::vector<double>& ms) {
  std::printf("%-50s p50 %7.3f ms   p99 %7.3f ms   (%zu runs)\n", what, Percentile(ms, 0.5), Percentile(ms, 0.99),
              ms.size());
}

Vextro::Timings WithPeriod(std::chrono::milliseconds period) {
  Vextro::Timings timings;
  timings.refreshPeriod = period;
  timings.autoConfigurePoll = 20ms;
  return timings;
}

// Signals the first change text holding `part` after Arm().
class RecordWaiter {
 public:
  void Arm(std::string part) {
    std::lock_guard<std::mutex> lock(mutex_);
    part_ = std::move(part);
    seen_.reset();
  }
  void Offer(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!seen_ && !part_.empty() && text.find(part_) != std::string::npos) {
      seen_ = Clock::now();
      condition_.notify_all();
    }
  }
  std::optional<Clock::time_point> Wait(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    condition_.wait_for(lock, limit, [this] { return seen_.has_value(); });
    return seen_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable condition_;
  std::string part_;
  std::optional<Clock::time_point> seen_;
};

}  // namespace

int main(int argc, char** argv) {
  const int repeats = argc > 1 ? std::max(10, std::atoi(argv[1])) : 200;
  testing_support::TempDir appData;
  setenv("APPDATA", appData.path().c_str(), 1);
  const auto model = std::make_shared<Vextro::CantorConfig>();

  {
    vextro_sim::SimDevice device;
    Vextro::RavennaDeviceProxy proxy(1, "127.0.0.1", device.port(), model, WithPeriod(1h));
    RecordWaiter waiter;
    boost::signals2::scoped_connection connection =
        proxy.GetChangeSignal().connect([&](const std::string& text) { waiter.Offer(text); });
    std::vector<double> create, remove, toRecord, rate, receiver;
    for (int i = 0; i < repeats; ++i) {
      waiter.Arm("\"Operation\":0");
      auto start = Clock::now();
      (void)proxy.ApplyActionList(kCreateStreamer);
      create.push_back(MsSince(start));
      if (const auto seen = waiter.Wait(0ms)) {
        toRecord.push_back(std::chrono::duration<double, std::milli>(*seen - start).count());
      }
      start = Clock::now();
      (void)proxy.ApplyActionList(kDeleteStreamer);
      remove.push_back(MsSince(start));
      start = Clock::now();
      (void)proxy.ApplyActionList(i % 2 == 0 ? kSetRate96 : kSetRate48);
      rate.push_back(MsSince(start));
      start = Clock::now();
      (void)proxy.ApplyActionList(kCreateReceiver);
      (void)proxy.ApplyActionList(kDeleteReceiver);
      receiver.push_back(MsSince(start));
    }
    Report("CreateStreamer (2 writes + report)", create);
    Report("  call start -> its change record", toRecord);
    Report("DeleteStreamer (2 writes + report)", remove);
    Report("SetSampleRate (1 write)", rate);
    Report("CreateReceiver + DeleteReceiver (3 writes)", receiver);
    std::printf("device requests in total: %zu\n", device.requests().size());
  }

  {
    // Receiver set-up through the refresh thread: period 50 ms, status 3 then 5, polls every 20 ms.
    vextro_sim::SimDevice device;
    vextro_sim::SimSession session;
    session.name = "Mic";
    device.setSessions({session});
    device.setConnectScript({3, 5});
    Vextro::RavennaDeviceProxy proxy(1, "127.0.0.1", device.port(), model, WithPeriod(50ms));
    RecordWaiter waiter;
    boost::signals2::scoped_connection connection =
        proxy.GetChangeSignal().connect([&](const std::string& text) { waiter.Offer(text); });
    std::vector<double> connected;
    for (int i = 0; i < std::min(repeats, 20); ++i) {
      waiter.Arm("\"State\":3");
      const auto start = Clock::now();
      (void)proxy.ApplyActionList(kCreateReceiver);
      if (const auto seen = waiter.Wait(2s)) {
        connected.push_back(std::chrono::duration<double, std::milli>(*seen - start).count());
      }
      (void)proxy.ApplyActionList(kDeleteReceiver);
    }
    if (!connected.empty()) Report("CreateReceiver -> connected record (50 ms cycle)", connected);
  }

  {
    vextro_sim::SimDevice device;
    std::vector<double> idle, midCycle;
    for (int i = 0; i < 10; ++i) {
      auto proxy = std::make_unique<Vextro::RavennaDeviceProxy>(1, "127.0.0.1", device.port(), model, WithPeriod(1h));
      const auto start = Clock::now();
      proxy.reset();
      idle.push_back(MsSince(start));
    }
    vextro_sim::PageFault slow;
    slow.delayMs = 50;
    for (int i = 0; i < 10; ++i) {
      auto proxy = std::make_unique<Vextro::RavennaDeviceProxy>(1, "127.0.0.1", device.port(), model, WithPeriod(20ms));
      device.setFault("/config.htm", slow);
      const std::size_t seen = device.requestCount("/config.htm");
      (void)device.waitForRequests("/config.htm", seen + 1, 2000);
      const auto start = Clock::now();
      proxy.reset();
      midCycle.push_back(MsSince(start));
      device.clearFaults();
    }
    Report("Delete, idle refresh thread", idle);
    Report("Delete, during a cycle (50 ms device delay)", midCycle);
  }
  return 0;
}
