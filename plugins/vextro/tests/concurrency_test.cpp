// Several proxies on short cycles while other threads run action lists, read states, register
// callbacks and create and delete proxies: no crash, no hang, and (under TSan) no race or
// lock-order inversion.
#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "plugins/vextro/src/CallbackRegistry.h"
#include "plugins/vextro/src/DeviceModels.h"
#include "plugins/vextro/src/RavennaDeviceProxy.h"
#include "plugins/vextro/tests/TestSupport.h"
#include "testing/vextro_sim/sim_device.h"

namespace Vextro {
namespace {

using namespace std::chrono_literals;

// A queued receiver lives through several lists, so refresh cycles get to connect it.
constexpr const char* kActionLists[] = {
    R"([{"Path":"Actions.CreateReceiver",)"
    R"("Data":{"StreamName":"Mic","Mapping":[{"Outputs":[{"IOGroupId":0,"OutputId":1}]}]}}])",
    R"([{"Path":"Actions.CreateStreamer","Data":{"StreamName":"S","Mapping":[{"IOGroupId":0,"InputId":0}]}}])",
    R"([{"Path":"Actions.SetSampleRate","Data":{"SampleRate":96000}}])",
    R"([{"Path":"Actions.DeleteStreamer","Data":{"Id":0}},{"Path":"Actions.DeleteStreamer","Data":{"Id":1}}])",
    R"([{"Path":"Actions.SetSampleRate","Data":{"SampleRate":48000}}])",
    R"([{"Path":"Actions.DeleteReceiver","Data":{"Id":0}}])",
};
constexpr std::size_t kSampleRateList = 2;

void CountCall(void* ctx, const char*) { static_cast<std::atomic<int>*>(ctx)->fetch_add(1); }

TEST(VextroConcurrency, ActionsReadsCallbacksAndLifecyclesOverlapSafely) {
  vextro_test::ScopedPluginLog log;
  Timings timings = vextro_test::FastTimings(20);
  timings.autoConfigurePoll = 5ms;
  timings.autoConfigureLimit = 50ms;
  constexpr int kDevices = 3;
  std::vector<std::unique_ptr<vextro_sim::SimDevice>> devices;
  std::vector<std::unique_ptr<RavennaDeviceProxy>> proxies;
  for (int i = 0; i < kDevices; ++i) {
    devices.push_back(std::make_unique<vextro_sim::SimDevice>());
    vextro_sim::SimSession session;
    session.name = "Mic";
    devices.back()->setSessions({session});
    devices.back()->setConnectScript({3, 5});
    proxies.push_back(std::make_unique<RavennaDeviceProxy>(i, "127.0.0.1", devices.back()->port(),
                                                           std::make_shared<CantorConfig>(), timings));
  }
  std::atomic<int> changes{0};
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (int i = 0; i < kDevices; ++i) {
    threads.emplace_back([&, i] {
      for (std::size_t n = 0; !stop; ++n) {
        EXPECT_EQ(proxies[i]->ApplyActionList(kActionLists[n % std::size(kActionLists)]), 0);
        std::this_thread::sleep_for(3ms);
      }
    });
  }
  threads.emplace_back([&] {
    for (std::size_t n = 0; !stop; ++n) {
      EXPECT_FALSE(proxies[n % kDevices]->GetStateText().empty());
      std::this_thread::sleep_for(1ms);
    }
  });
  threads.emplace_back([&] {
    CallbackRegistry& registry = GlobalCallbackRegistry();
    for (std::size_t n = 0; !stop; ++n) {
      const int64_t token = registry.Register(proxies[n % kDevices].get(), CountCall, &changes);
      std::this_thread::sleep_for(2ms);
      registry.Unregister(token);
    }
  });
  threads.emplace_back([&] {
    while (!stop) {
      RavennaDeviceProxy extra(99, "127.0.0.1", devices[0]->port(), std::make_shared<CantorConfig>(), timings);
      EXPECT_EQ(extra.ApplyActionList(kActionLists[kSampleRateList]), 0);
      std::this_thread::sleep_for(10ms);
    }
  });
  std::this_thread::sleep_for(1500ms);
  stop = true;
  for (auto& thread : threads) thread.join();
  proxies.clear();
  EXPECT_GT(changes.load(), 0);
  std::size_t connects = 0;
  for (const auto& device : devices) connects += device->requestCount("/connectsap.htm");
  EXPECT_GT(connects, 0U);
}

}  // namespace
}  // namespace Vextro
