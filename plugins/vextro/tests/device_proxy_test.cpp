// Device proxy and its refresh thread against simulated devices: healthy, unreachable, redundant
// through the second port, hanging; construction failure and prompt deletion.
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "plugins/vextro/src/DeviceModels.h"
#include "plugins/vextro/src/RavennaDeviceProxy.h"
#include "plugins/vextro/tests/TestSupport.h"
#include "testing/vextro_sim/sim_device.h"

namespace Vextro {
namespace {

using namespace std::chrono_literals;
using vextro_sim::PageFault;
using vextro_sim::SimDevice;
using vextro_sim::SimOptions;
using vextro_test::FastTimings;
using vextro_test::ScopedPluginLog;
using vextro_test::waitUntil;

DeviceConfigPtr Cantor() { return std::make_shared<CantorConfig>(); }

SimOptions TwoPorts() {
  SimOptions options;
  options.secondListener = true;
  return options;
}

TEST(VextroTimings, ParseKeepsDefaultsForWhatIsMissingOrUnreadable) {
  const Timings timings = Timings::Parse("period=300,poll=x,limit=-5,connect=700,unknown=1,request");
  EXPECT_EQ(timings.refreshPeriod, 300ms);
  EXPECT_EQ(timings.autoConfigurePoll, 1000ms);
  EXPECT_EQ(timings.autoConfigureLimit, 10000ms);
  EXPECT_EQ(timings.connectTimeout, 700ms);
  EXPECT_EQ(timings.requestTimeout, 5000ms);
  EXPECT_EQ(Timings::Parse("").refreshPeriod, 5000ms);
}

TEST(VextroDeviceProxy, HealthyDeviceIsPolledEveryPeriod) {
  ScopedPluginLog log;
  SimDevice device;
  RavennaDeviceProxy proxy(7, "127.0.0.1", device.port(), Cantor(), FastTimings(50));
  EXPECT_EQ(proxy.GetPortIndex(), 0);
  EXPECT_EQ(proxy.GetDeviceName(), "Sim");
  EXPECT_FALSE(proxy.IsRedundant());
  const Json state = Json::parse(proxy.GetStateText());
  EXPECT_EQ(state["Id"], 7);
  EXPECT_EQ(state["Status"]["Message"], "OK");
  EXPECT_EQ(state["IOGroups"][0]["Status"]["SampleRate"], 48000);
  EXPECT_EQ(state["WebServices"][0]["URL"], "http://127.0.0.1:" + std::to_string(device.port()));
  EXPECT_TRUE(log.contains("Using device port 'PHY1'"));
  EXPECT_TRUE(log.contains("Initialized device. Initial status is: OK"));
  EXPECT_EQ(proxy.GetConfigCache().at("SELVA_CONFIG_PARAM_SETTING"), "0;7");
  EXPECT_TRUE(waitUntil([&] { return device.requestCount("/statistic.htm") >= 4; }));
  EXPECT_EQ(device.requestCount("/sessions.htm"), 0U);
}

TEST(VextroDeviceProxy, UnreachableDeviceStillGivesAProxy) {
  ScopedPluginLog log;
  uint16_t closedPort = 0;
  {
    SimDevice gone;
    closedPort = gone.port();
  }
  RavennaDeviceProxy proxy(3, "127.0.0.1", closedPort, Cantor(), FastTimings(50));
  EXPECT_EQ(proxy.GetStateText(),
            R"({"Status":{"Code":3,"Errors":{"Network":"Error: connect: Connection refused"},"Message":"ERROR"}})");
  EXPECT_EQ(proxy.GetDeviceName(), "CANTOR");
  EXPECT_EQ(proxy.GetPortIndex(), -1);
  EXPECT_TRUE(log.contains("ERROR: Can't figure out device port suffix"));
  EXPECT_TRUE(log.contains("Initialized device. Initial status is: ERROR"));
  // The device coming up later is picked up by the refresh thread; name and port stay as decided.
  SimOptions options;
  options.port = closedPort;
  SimDevice device(options);
  EXPECT_TRUE(waitUntil([&] { return proxy.GetStateText().find("\"Message\":\"OK\"") != std::string::npos; }));
  EXPECT_EQ(proxy.GetPortIndex(), -1);
  EXPECT_EQ(Json::parse(proxy.GetStateText())["Identity"]["Name"], "CANTOR");
}

TEST(VextroDeviceProxy, PortDetection) {
  ScopedPluginLog log;
  SimDevice device(TwoPorts());
  {
    RavennaDeviceProxy viaSecond(1, "127.0.0.2", device.secondPort(), Cantor(), FastTimings(5000));
    EXPECT_EQ(viaSecond.GetPortIndex(), 1);
    EXPECT_TRUE(log.contains("Using device port 'PHY2'"));
  }
  device.eraseStatistic("STATISTIC_PARAM_CURRENT_IP_ADDRESS_PHY2");
  log.clear();
  RavennaDeviceProxy missingSecond(2, "127.0.0.1", device.port(), Cantor(), FastTimings(5000));
  EXPECT_EQ(missingSecond.GetPortIndex(), -1);
  EXPECT_TRUE(log.contains("ERROR: Can't figure out device port suffix"));
}

TEST(VextroDeviceProxy, OnlyTheSecondPortOfOneDeviceIsRedundant) {
  ScopedPluginLog log;
  SimDevice device(TwoPorts());
  auto first = std::make_unique<RavennaDeviceProxy>(1, "127.0.0.1", device.port(), Cantor(), FastTimings(50));
  RavennaDeviceProxy alsoFirst(3, "127.0.0.1", device.port(), Cantor(), FastTimings(50));
  RavennaDeviceProxy second(2, "127.0.0.2", device.secondPort(), Cantor(), FastTimings(50));
  EXPECT_FALSE(first->IsRedundant());
  EXPECT_FALSE(alsoFirst.IsRedundant());
  EXPECT_TRUE(second.IsRedundant());
  // Another PHY1 proxy of the same device keeps the second one redundant.
  first.reset();
  const std::size_t requests = device.requests().size();
  ASSERT_TRUE(waitUntil([&] { return device.requests().size() >= requests + 6; }));
  EXPECT_TRUE(second.IsRedundant());
  EXPECT_FALSE(alsoFirst.IsRedundant());
}

TEST(VextroDeviceProxy, ANamelessDeviceIsMatchedByTheProductName) {
  ScopedPluginLog log;
  SimDevice device(TwoPorts());
  device.eraseConfig("CONFIG_PARAM_DEVICE_DEVICE_NAME");
  RavennaDeviceProxy first(1, "127.0.0.1", device.port(), Cantor(), FastTimings(5000));
  RavennaDeviceProxy second(2, "127.0.0.2", device.secondPort(), Cantor(), FastTimings(5000));
  EXPECT_EQ(second.GetDeviceName(), "CANTOR");
  EXPECT_FALSE(first.IsRedundant());
  EXPECT_TRUE(second.IsRedundant());
}

TEST(VextroDeviceProxy, RedundancyClearsWhenNoPhy1ProxyRemains) {
  ScopedPluginLog log;
  SimDevice device(TwoPorts());
  auto first = std::make_unique<RavennaDeviceProxy>(1, "127.0.0.1", device.port(), Cantor(), FastTimings(50));
  RavennaDeviceProxy second(2, "127.0.0.2", device.secondPort(), Cantor(), FastTimings(50));
  ASSERT_TRUE(second.IsRedundant());
  first.reset();
  ASSERT_TRUE(waitUntil([&] { return Json::parse(second.GetStateText()).contains("Id"); }));
  EXPECT_EQ(Json::parse(second.GetStateText())["Identity"]["Serial"], "00-1D-C1-00-00-02");
}

TEST(VextroDeviceProxy, HangingDeviceIsBoundedAndDoesNotStallOthers) {
  ScopedPluginLog log;
  SimDevice healthy;
  SimDevice hanging;
  PageFault hang;
  hang.hang = true;
  hanging.setFault("/config.htm", hang);
  auto timings = FastTimings(100);
  timings.requestTimeout = 400ms;
  auto started = std::chrono::steady_clock::now();
  auto stuck = std::make_unique<RavennaDeviceProxy>(9, "127.0.0.1", hanging.port(), Cantor(), timings);
  EXPECT_LT(std::chrono::steady_clock::now() - started, timings.requestTimeout + 500ms);
  EXPECT_EQ(Json::parse(stuck->GetStateText())["Status"]["Errors"]["Network"],
            "Error: read_until: Connection timed out");
  // The state stays readable: a reader waits at most for the cycle's bounded request.
  for (int i = 0; i < 2; ++i) {
    const auto asked = std::chrono::steady_clock::now();
    EXPECT_FALSE(stuck->GetStateText().empty());
    EXPECT_LT(std::chrono::steady_clock::now() - asked, timings.requestTimeout + 300ms);
    std::this_thread::sleep_for(100ms);
  }
  RavennaDeviceProxy fine(10, "127.0.0.1", healthy.port(), Cantor(), timings);
  const std::size_t before = healthy.requestCount("/config.htm");
  EXPECT_TRUE(waitUntil([&] { return healthy.requestCount("/config.htm") >= before + 2; }, 3000ms));
  EXPECT_EQ(Json::parse(fine.GetStateText())["Status"]["Message"], "OK");
  started = std::chrono::steady_clock::now();
  stuck.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - started, timings.requestTimeout + timings.refreshPeriod + 500ms);
}

TEST(VextroDeviceProxy, DeleteWakesTheRefreshThreadAtOnce) {
  ScopedPluginLog log;
  SimDevice device;
  auto proxy = std::make_unique<RavennaDeviceProxy>(1, "127.0.0.1", device.port(), Cantor(), FastTimings(60000));
  const auto started = std::chrono::steady_clock::now();
  proxy.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - started, 300ms);
  EXPECT_FALSE(log.contains("timeout while waiting for refresh thread"));
}

TEST(VextroDeviceProxy, SlowCycleLogsTheShutdownTimeout) {
  ScopedPluginLog log;
  SimDevice device;
  auto timings = FastTimings(50);
  timings.requestTimeout = 1500ms;
  timings.connectTimeout = 1500ms;
  auto proxy = std::make_unique<RavennaDeviceProxy>(1, "127.0.0.1", device.port(), Cantor(), timings);
  PageFault slow;
  slow.delayMs = 1000;
  device.setFault("/config.htm", slow);
  const std::size_t before = device.requests().size();
  ASSERT_TRUE(waitUntil([&] { return device.requests().size() > before; }));
  proxy.reset();  // waits one period, logs, then waits for the cycle to end
  EXPECT_TRUE(log.contains("ERROR: timeout while waiting for refresh thread to shut down. Shutting down by force."));
}

// A model whose product name cannot be had: construction fails after the proxy was listed.
class BrokenConfig final : public RavennaDeviceConfig {
 public:
  int32_t GetModelId() const override { return 0; }
  std::string GetProxyVendor() const override { return ""; }
  std::string GetDescription() const override { return ""; }
  std::string GetLogFileName() const override { return ""; }
  std::string GetDeviceType() const override { return "broken"; }
  std::string GetGenericDeviceType() const override { return ""; }
  std::string GetProductName() const override { throw std::runtime_error("no product"); }
  std::string GetCompany() const override { return ""; }
  int32_t GetMaxChannels() const override { return 0; }
};

TEST(VextroDeviceProxy, FailedConstructionLeavesTheLiveListAsItWas) {
  ScopedPluginLog log;
  SimDevice device;
  RavennaDeviceProxy kept(1, "127.0.0.1", device.port(), Cantor(), FastTimings(50));
  const std::size_t before = RavennaDeviceProxy::LiveProxyCount();
  EXPECT_THROW(RavennaDeviceProxy(2, "127.0.0.1", device.port(), std::make_shared<BrokenConfig>(), FastTimings(50)),
               std::runtime_error);
  EXPECT_EQ(RavennaDeviceProxy::LiveProxyCount(), before);
  const std::size_t requests = device.requests().size();
  EXPECT_TRUE(waitUntil([&] { return device.requests().size() >= requests + 4; }));  // kept still cycles
}

}  // namespace
}  // namespace Vextro
