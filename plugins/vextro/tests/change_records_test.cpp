// Change records: the pure diff, and a proxy's refresh cycles against a simulated device.
#include <memory>
#include <mutex>
#include <vector>

#include <gtest/gtest.h>

#include "plugins/vextro/src/ChangeRecords.h"
#include "plugins/vextro/src/DeviceModels.h"
#include "plugins/vextro/src/RavennaDeviceProxy.h"
#include "plugins/vextro/tests/TestSupport.h"
#include "testing/count_of.h"
#include "testing/vextro_sim/sim_device.h"

namespace Vextro {
namespace {

using testing_support::countOf;
using vextro_sim::SimDevice;
using vextro_sim::SimOptions;
using vextro_test::FastTimings;
using vextro_test::ScopedPluginLog;

TEST(VextroChangeRecords, PathsAndLookup) {
  EXPECT_EQ(DevicePath(7), "$.Devices[?(@.Id==7)]");
  EXPECT_EQ(ReceiverPath(7, 2), "$.Devices[?(@.Id==7)].Receivers[?(@.Id==2)]");
  EXPECT_EQ(StreamerPath(4294967295U, 0), "$.Devices[?(@.Id==4294967295)].Streamers[?(@.Id==0)]");
  const Json document = Json::parse(R"({"Receivers":[{"Id":1},{"Id":2},{"Id":2}],"Streamers":[1,{"Id":0}]})");
  EXPECT_EQ(FindIndexById(document, "Receivers", 2), 1);
  EXPECT_EQ(FindIndexById(document, "Receivers", 3), -1);
  EXPECT_EQ(FindIndexById(document, "Streamers", 0), 1);
  EXPECT_EQ(FindIndexById(document, "Missing", 0), -1);
  EXPECT_EQ(FindIndexById(Json(), "Receivers", 0), -1);
  EXPECT_THROW((void)FindIndexById(Json::parse(R"({"Receivers":[{"Id":"1"}]})"), "Receivers", 1), std::runtime_error);
}

TEST(VextroChangeRecords, OrderOfRecords) {
  const Json before = Json::parse(
      R"({"IOGroups":[1],"Receivers":[{"Id":0,"N":"a"},{"Id":5}],"Status":{"Code":1},"Streamers":[{"Id":3}]})");
  const Json after = Json::parse(
      R"({"IOGroups":[2],"Receivers":[{"Id":1},{"Id":0,"N":"b"}],"Status":{"Code":3},"Streamers":[{"Id":4}]})");
  const Json records = ComputeChangeRecords(7, before, after);
  const std::string device = R"({"Data":)" + DumpCompact(after) + R"(,"Operation":1,"Path":"$.Devices[?(@.Id==7)]"})";
  EXPECT_EQ(DumpCompact(records),
            "["
            R"({"Data":{"Id":1},"Operation":0,"Path":"$.Devices[?(@.Id==7)].Receivers[?(@.Id==1)]"},)"
            R"({"Data":{"Id":0,"N":"b"},"Operation":1,"Path":"$.Devices[?(@.Id==7)].Receivers[?(@.Id==0)]"},)"
            R"({"Data":{},"Operation":2,"Path":"$.Devices[?(@.Id==7)].Receivers[?(@.Id==5)]"},)"
            R"({"Data":{"Id":4},"Operation":0,"Path":"$.Devices[?(@.Id==7)].Streamers[?(@.Id==4)]"},)"
            R"({"Data":{},"Operation":2,"Path":"$.Devices[?(@.Id==7)].Streamers[?(@.Id==3)]"},)" +
                device + "," + device + "]");
  EXPECT_EQ(ComputeChangeRecords(7, before, before), Json::array());
}

// A proxy whose cycles the test runs by hand, with the change texts it fires.
class VextroProxyChanges : public ::testing::Test {
 protected:
  VextroProxyChanges() {
    proxy = std::make_unique<RavennaDeviceProxy>(7, "127.0.0.1", device->port(), std::make_shared<CantorConfig>(),
                                                 FastTimings(600000));
    proxy->GetChangeSignal().connect([this](const std::string& text) {
      std::lock_guard<std::mutex> lock(mutex);
      changes.push_back(Json::parse(text));
    });
  }

  // Runs one cycle and returns the records it fired (null when nothing fired).
  Json Cycle() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      changes.clear();
    }
    proxy->RunRefreshCycle();
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_LE(changes.size(), 1U);
    return changes.empty() ? Json() : changes.front();
  }

  ScopedPluginLog log;
  std::unique_ptr<SimDevice> device = std::make_unique<SimDevice>();
  std::unique_ptr<RavennaDeviceProxy> proxy;
  std::mutex mutex;
  std::vector<Json> changes;
};

TEST_F(VextroProxyChanges, IdenticalPagesReportNothing) {
  log.clear();
  EXPECT_TRUE(Cycle().is_null());
  EXPECT_EQ(log.text(), "");
}

TEST_F(VextroProxyChanges, ReceiverAddedRenamedRemoved) {
  device->setConfig("CONFIG_PARAM_AUDIO_CLIENT_STREAM_3_ENABLE", "1");
  Json records = Cycle();
  ASSERT_EQ(records.size(), 1U);
  EXPECT_EQ(records[0]["Operation"], 0);
  EXPECT_EQ(records[0]["Path"], "$.Devices[?(@.Id==7)].Receivers[?(@.Id==2)]");
  EXPECT_EQ(records[0]["Data"], Json::parse(proxy->GetStateText())["Receivers"][0]);
  EXPECT_TRUE(log.contains("Device state changed. Calculating changes..."));
  EXPECT_TRUE(log.contains("Stream Changes => " + DumpCompact(records)));

  device->setConfig("CONFIG_PARAM_AUDIO_CLIENT_STREAM_3_STREAM_NAME", "Renamed");
  records = Cycle();
  ASSERT_EQ(records.size(), 1U);
  EXPECT_EQ(records[0]["Operation"], 1);
  EXPECT_EQ(records[0]["Data"]["Name"], "Renamed");

  device->setConfig("CONFIG_PARAM_AUDIO_CLIENT_STREAM_3_ENABLE", "0");
  records = Cycle();
  EXPECT_EQ(DumpCompact(records),
            R"([{"Data":{},"Operation":2,"Path":"$.Devices[?(@.Id==7)].Receivers[?(@.Id==2)]"}])");
}

TEST_F(VextroProxyChanges, RateAndStatusGiveDeviceRecords) {
  device->setStatistic("STATISTIC_PARAM_STATUS", std::to_string(3U << 28));
  Json records = Cycle();
  ASSERT_EQ(records.size(), 1U);
  EXPECT_EQ(records[0]["Path"], "$.Devices[?(@.Id==7)]");
  EXPECT_EQ(records[0]["Operation"], 1);
  EXPECT_EQ(records[0]["Data"]["IOGroups"][0]["Status"]["SampleRate"], 96000);
  device->setStatistic("STATISTIC_PARAM_STATUS", std::to_string(1U << 28));
  device->setStatistic("STATISTIC_PARAM_PTP_CLOCK_STATUS", "1");
  records = Cycle();
  ASSERT_EQ(records.size(), 2U);
  EXPECT_EQ(records[0], records[1]);
  EXPECT_EQ(records[0]["Data"]["Status"]["Errors"]["PTP_CLOCK_STATUS"], "PTP Clock is Faulty");
}

TEST_F(VextroProxyChanges, IdentityChangeAloneIsStoredButNotReported) {
  device->setConfig("CONFIG_PARAM_DEVICE_HARDWARE_VERSION", "2.0");
  EXPECT_TRUE(Cycle().is_null());
  EXPECT_TRUE(log.contains("No relevant stream changes detected"));
  EXPECT_EQ(Json::parse(proxy->GetStateText())["Identity"]["Version"], "2.0");
}

TEST_F(VextroProxyChanges, CachesFollowValuesTheStateDoesNotShow) {
  device->setConfig("SELVA_CONFIG_PARAM_SETTING", "0;9");
  EXPECT_TRUE(Cycle().is_null());
  EXPECT_EQ(proxy->GetConfigCache().at("SELVA_CONFIG_PARAM_SETTING"), "0;9");
}

TEST_F(VextroProxyChanges, DeviceGoesAwayAndComesBack) {
  device->setConfig("CONFIG_PARAM_AUDIO_CLIENT_STREAM_1_ENABLE", "1");
  device->setConfig("CONFIG_PARAM_AUDIO_SERVER_STREAM_2_ENABLE", "1");
  ASSERT_EQ(Cycle().size(), 2U);
  const uint16_t port = device->port();
  device.reset();
  Json records = Cycle();
  ASSERT_EQ(records.size(), 3U);
  EXPECT_EQ(records[0]["Path"], "$.Devices[?(@.Id==7)].Receivers[?(@.Id==0)]");
  EXPECT_EQ(records[0]["Operation"], 2);
  EXPECT_EQ(records[1]["Path"], "$.Devices[?(@.Id==7)].Streamers[?(@.Id==1)]");
  EXPECT_EQ(records[1]["Operation"], 2);
  EXPECT_EQ(DumpCompact(records[2]["Data"]),
            R"({"Status":{"Code":3,"Errors":{"Network":"Error: connect: Connection refused"},"Message":"ERROR"}})");
  // A state rebuild from the caches keeps the device unreachable instead of inventing a state.
  proxy->RefreshStateFromCaches();
  EXPECT_EQ(Json::parse(proxy->GetStateText())["Status"]["Errors"]["Network"], "Error: connect: Connection refused");

  SimOptions options;
  options.port = port;
  device = std::make_unique<SimDevice>(options);
  device->setConfig("CONFIG_PARAM_AUDIO_CLIENT_STREAM_1_ENABLE", "1");
  records = Cycle();
  ASSERT_EQ(records.size(), 2U);
  EXPECT_EQ(records[0]["Operation"], 0);
  EXPECT_EQ(records[0]["Path"], "$.Devices[?(@.Id==7)].Receivers[?(@.Id==0)]");
  EXPECT_EQ(records[1]["Path"], "$.Devices[?(@.Id==7)]");
  EXPECT_EQ(records[1]["Data"]["Status"]["Message"], "OK");
}

// Cycles over unchanged pages do no work worth a log line beyond what the state build logs each
// time; one changed byte of either page is reported at once, and the caches always hold what a
// full parse of the pages gives.
TEST_F(VextroProxyChanges, UnchangedPagesReportNothingUntilOneByteChanges) {
  const std::string missing = "WARNING: Can't find configuration value for parameter: CONFIG_PARAM_PTP_CLOCK_DSCP";
  device->eraseConfig("CONFIG_PARAM_PTP_CLOCK_DSCP");
  EXPECT_TRUE(Cycle().is_null());
  log.clear();
  for (int cycle = 0; cycle < 3; ++cycle) {
    EXPECT_TRUE(Cycle().is_null());
  }
  EXPECT_EQ(countOf(log.text(), missing), 3U);
  EXPECT_EQ(countOf(log.text(), "Device state changed"), 0U);
  EXPECT_EQ(proxy->GetConfigCache(), device->config());

  device->setStatistic("STATISTIC_PARAM_PTP_CLOCK_STATUS", "3");
  Json records = Cycle();
  ASSERT_EQ(records.size(), 1U);
  EXPECT_EQ(records[0]["Data"]["Status"]["Errors"]["PTP_CLOCK_STATUS"], "PTP Clock is Listening");
  EXPECT_TRUE(Cycle().is_null());

  device->setConfig("CONFIG_PARAM_AUDIO_CLIENT_STREAM_3_ENABLE", "1");
  records = Cycle();
  ASSERT_EQ(records.size(), 1U);
  EXPECT_EQ(records[0]["Path"], "$.Devices[?(@.Id==7)].Receivers[?(@.Id==2)]");
  EXPECT_EQ(proxy->GetConfigCache(), device->config());
  EXPECT_TRUE(Cycle().is_null());
  device->setConfig("CONFIG_PARAM_AUDIO_CLIENT_STREAM_3_STREAM_NAME", "A b%c");
  EXPECT_EQ(Cycle()[0]["Data"]["Name"], "A b%c");

  // Values the state does not show, and a page whose lines change, still reach the caches.
  device->setConfig("SELVA_CONFIG_PARAM_SETTING", "0;8");
  EXPECT_TRUE(Cycle().is_null());
  EXPECT_EQ(proxy->GetConfigCache(), device->config());
  device->setConfig("A_NEW_PARAMETER", "1");
  EXPECT_TRUE(Cycle().is_null());
  EXPECT_EQ(proxy->GetConfigCache(), device->config());
  device->eraseConfig("A_NEW_PARAMETER");
  device->setConfig("CONFIG_PARAM_PTP_CLOCK_DSCP", "46");
  EXPECT_TRUE(Cycle().is_null());
  EXPECT_EQ(proxy->GetConfigCache(), device->config());
  EXPECT_EQ(countOf(log.text(), missing), 10U);  // one per cycle while it was missing
}

TEST_F(VextroProxyChanges, InvalidUtf8DeviceNamesStaySerialisable) {
  device->setConfig("CONFIG_PARAM_AUDIO_CLIENT_STREAM_1_ENABLE", "1");
  device->setConfig("CONFIG_PARAM_AUDIO_CLIENT_STREAM_1_STREAM_NAME", "Caf\xE9");
  const Json records = Cycle();
  ASSERT_EQ(records.size(), 1U);
  EXPECT_EQ(records[0]["Data"]["Name"], "Caf\xEF\xBF\xBD");
  EXPECT_TRUE(Json::accept(proxy->GetStateText()));
}

}  // namespace
}  // namespace Vextro
