// Deleting a proxy while refresh work is under way: queued receiver set-ups whose stream never
// connects, and a cycle that waited for the global lock behind another proxy.
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "plugins/vextro/src/DeviceModels.h"
#include "plugins/vextro/src/RavennaDeviceProxy.h"
#include "plugins/vextro/tests/TestSupport.h"
#include "testing/vextro_sim/sim_device.h"

namespace Vextro {
namespace {

using namespace std::chrono_literals;
using vextro_sim::SimDevice;
using vextro_test::FastTimings;
using vextro_test::ScopedPluginLog;

// Announces "Mic" and keeps every connection at status 3 ("connecting") for good.
void AnnounceAStreamThatNeverConnects(SimDevice& device) {
  vextro_sim::SimSession session;
  session.name = "Mic";
  session.originating = "192.168.1.50";
  session.originatingSource = "239.1.2.3";
  device.setSessions({session});
  device.setConnectScript({3});
}

std::string CreateReceiverOn(uint32_t output) {
  return R"([{"Path":"Actions.CreateReceiver","Data":{"StreamName":"Mic","Mapping":[{"Outputs":[)"
         R"({"IOGroupId":0,"OutputId":)" +
         std::to_string(output) + "}]}]}}]";
}

Timings SlowSetUps() {
  Timings timings = FastTimings(50);
  timings.autoConfigurePoll = 20ms;
  timings.autoConfigureLimit = 1500ms;
  return timings;
}

TEST(VextroDeletion, QueuedSetUpsThatNeverConnectDoNotHoldUpDelete) {
  ScopedPluginLog log;
  SimDevice device;
  device.setConnectScript({3});
  const Timings timings = SlowSetUps();
  auto proxy =
      std::make_unique<RavennaDeviceProxy>(1, "127.0.0.1", device.port(), std::make_shared<CantorConfig>(), timings);
  for (uint32_t output = 0; output < 8; ++output) {
    ASSERT_EQ(proxy->ApplyActionList(CreateReceiverOn(output)), 0);
  }
  ASSERT_EQ(proxy->GetPendingAutoConfigure().size(), 8U);
  // Only now does the device know the stream, so one cycle takes up all eight set-ups.
  AnnounceAStreamThatNeverConnects(device);
  // The refresh thread now polls the first set-up; seven more wait behind it.
  ASSERT_TRUE(device.waitForRequests("/connectsap.htm", 1, 3000));
  ASSERT_TRUE(device.waitForRequests("/statistic.htm", 3, 3000));
  const auto started = std::chrono::steady_clock::now();
  proxy.reset();
  const auto took = std::chrono::steady_clock::now() - started;
  std::printf("Delete with 8 queued set-ups took %lld ms\n",
              static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
  EXPECT_LT(took, timings.requestTimeout + 300ms)
      << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms";
  EXPECT_EQ(device.requestCount("/connectsap.htm"), 1U);
  EXPECT_TRUE(log.contains("Receiver set-up stopped: the device proxy is being deleted"));
}

TEST(VextroDeletion, ACycleThatWaitedForTheLocksSkipsItsRequests) {
  ScopedPluginLog log;
  SimDevice busyDevice;
  AnnounceAStreamThatNeverConnects(busyDevice);
  SimDevice deletedDevice;
  RavennaDeviceProxy busy(1, "127.0.0.1", busyDevice.port(), std::make_shared<CantorConfig>(), SlowSetUps());
  auto deleted = std::make_unique<RavennaDeviceProxy>(2, "127.0.0.1", deletedDevice.port(),
                                                      std::make_shared<CantorConfig>(), FastTimings(20));
  // busy's cycle holds the global lock while it polls its set-up for up to 1.5 s.
  ASSERT_EQ(busy.ApplyActionList(CreateReceiverOn(0)), 0);
  ASSERT_TRUE(busyDevice.waitForRequests("/connectsap.htm", 1, 3000));
  std::this_thread::sleep_for(200ms);  // deleted's refresh thread is now waiting for that lock
  deletedDevice.clearRequests();
  deleted.reset();
  EXPECT_TRUE(deletedDevice.requests().empty()) << deletedDevice.requests().front().path;
}

}  // namespace
}  // namespace Vextro
