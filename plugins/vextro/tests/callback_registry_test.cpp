// Callback registry: tokens, unregistration, delivery and concurrent (un)registration.
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

using vextro_sim::SimDevice;
using vextro_test::FastTimings;
using vextro_test::ScopedPluginLog;

struct Inbox {
  std::mutex mutex;
  std::vector<std::string> texts;
};

void Deliver(void* ctx, const char* message) {
  auto* inbox = static_cast<Inbox*>(ctx);
  std::lock_guard<std::mutex> lock(inbox->mutex);
  inbox->texts.emplace_back(message);
}

void Count(void* ctx, const char*) { static_cast<std::atomic<int>*>(ctx)->fetch_add(1); }

class VextroCallbackRegistry : public ::testing::Test {
 protected:
  std::unique_ptr<RavennaDeviceProxy> MakeProxy(uint32_t id) {
    return std::make_unique<RavennaDeviceProxy>(id, "127.0.0.1", device.port(), std::make_shared<CantorConfig>(),
                                                FastTimings(600000));
  }

  ScopedPluginLog log;
  SimDevice device;
  CallbackRegistry registry;
};

TEST_F(VextroCallbackRegistry, TokensCountFromZeroAndSkipLiveOnes) {
  auto proxy = MakeProxy(5);
  Inbox inbox;
  EXPECT_EQ(registry.Register(proxy.get(), Deliver, &inbox), 0);
  EXPECT_EQ(registry.Register(proxy.get(), Deliver, &inbox), 1);
  EXPECT_EQ(registry.Register(proxy.get(), Deliver, &inbox), 2);
  EXPECT_TRUE(log.contains("Engine registers callback token: 2 for device with ID: 5..."));
  EXPECT_EQ(registry.Unregister(1), 0);
  registry.ResetTokens();
  EXPECT_EQ(registry.Register(proxy.get(), Deliver, &inbox), 1);  // 0 is still live
  EXPECT_EQ(registry.Register(proxy.get(), Deliver, &inbox), 3);
  registry.ResetTokens();
  EXPECT_EQ(registry.Unregister(0), 0);
  EXPECT_EQ(registry.Register(proxy.get(), Deliver, &inbox), 0);
  EXPECT_EQ(registry.Size(), 4U);
}

TEST_F(VextroCallbackRegistry, NullArgumentsRegisterNothing) {
  auto proxy = MakeProxy(5);
  log.clear();
  int context = 0;
  EXPECT_EQ(registry.Register(proxy.get(), nullptr, &context), 0);
  EXPECT_EQ(log.text(), "");
  EXPECT_EQ(registry.Register(nullptr, Deliver, &context), 0);
  EXPECT_TRUE(log.contains("ERROR: Invalid proxy passed to RavennaDeviceProxy_RegisterCallback"));
  EXPECT_EQ(registry.Size(), 0U);
}

TEST_F(VextroCallbackRegistry, DeliveryAndUnregistration) {
  auto proxy = MakeProxy(8);
  Inbox first;
  Inbox second;
  const int64_t a = registry.Register(proxy.get(), Deliver, &first);
  const int64_t b = registry.Register(proxy.get(), Deliver, &second);
  device.setConfig("CONFIG_PARAM_AUDIO_SERVER_STREAM_1_ENABLE", "1");
  proxy->RunRefreshCycle();
  ASSERT_EQ(first.texts.size(), 1U);
  EXPECT_EQ(first.texts, second.texts);
  EXPECT_NE(first.texts[0].find(R"("Path":"$.Devices[?(@.Id==8)].Streamers[?(@.Id==0)]")"), std::string::npos);
  EXPECT_EQ(registry.Unregister(a), 0);
  EXPECT_EQ(registry.Unregister(a), -1);
  EXPECT_TRUE(log.contains("ERROR: Engine unregisters unknown callback token: " + std::to_string(a)));
  device.setConfig("CONFIG_PARAM_AUDIO_SERVER_STREAM_1_ENABLE", "0");
  proxy->RunRefreshCycle();
  EXPECT_EQ(first.texts.size(), 1U);
  EXPECT_EQ(second.texts.size(), 2U);
  // After the proxy is gone the record stays and unregisters with the id captured at registration.
  proxy.reset();
  log.clear();
  EXPECT_EQ(registry.Unregister(b), 0);
  EXPECT_TRUE(log.contains("Engine unregisters callback token: " + std::to_string(b) + " for device with ID: 8..."));
}

TEST_F(VextroCallbackRegistry, ConcurrentRegistrationWhileFiring) {
  auto proxy = MakeProxy(1);
  std::atomic<int> calls{0};
  std::atomic<bool> firing{true};
  std::thread fire([&] {
    while (firing) proxy->GetChangeSignal()("[]");
  });
  std::vector<std::thread> engines;
  for (int t = 0; t < 4; ++t) {
    engines.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        const int64_t token = registry.Register(proxy.get(), Count, &calls);
        EXPECT_EQ(registry.Unregister(token), 0);
      }
    });
  }
  for (auto& engine : engines) engine.join();
  firing = false;
  fire.join();
  EXPECT_EQ(registry.Size(), 0U);
}

}  // namespace
}  // namespace Vextro
