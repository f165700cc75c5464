// Device-state document and the streamer and receiver lists, built from the simulated device's
// pages without a proxy.
#include <gtest/gtest.h>

#include "plugins/vextro/src/DeviceModels.h"
#include "plugins/vextro/src/DeviceState.h"
#include "plugins/vextro/tests/TestSupport.h"
#include "testing/count_of.h"
#include "testing/vextro_sim/sim_device.h"

namespace Vextro {
namespace {

using testing_support::countOf;
using vextro_test::ScopedPluginLog;

class VextroDeviceState : public ::testing::Test {
 protected:
  VextroDeviceState() {
    vextro_sim::SimDevice device;
    device.stop();
    configuration = device.config();
    statistics = device.statistics();
    view.id = 7;
    view.host = "127.0.0.1";
    view.port = 8080;
    view.deviceName = "Sim";
    view.portIndex = 0;
    view.config = std::make_shared<CantorConfig>();
  }

  Json Build(const std::string& status = "OK") const {
    return BuildDeviceState(view, configuration, statistics, status);
  }
  Json Errors() const { return Build()["Status"]["Errors"]; }

  ScopedPluginLog log;
  ParameterMap configuration;
  ParameterMap statistics;
  DeviceView view;
};

// A slot flag is read once per build when it can be, but a missing or unreadable one is still
// logged at each of its four lookups (two port passes, play-out errors, the list itself).
TEST_F(VextroDeviceState, SlotFlagsThatCannotBeReadAreLoggedAtEveryLookup) {
  configuration.erase("CONFIG_PARAM_AUDIO_CLIENT_STREAM_5_ENABLE");
  configuration["CONFIG_PARAM_AUDIO_SERVER_STREAM_6_ENABLE"] = "yes";
  configuration["CONFIG_PARAM_AUDIO_CLIENT_STREAM_7_ENABLE"] = "1";
  log.clear();
  const Json state = Build();
  const std::string text = log.text();
  EXPECT_EQ(countOf(text, "Can't find configuration value for parameter: CONFIG_PARAM_AUDIO_CLIENT_STREAM_5_ENABLE"),
            4U);
  EXPECT_EQ(countOf(text, "'yes' of parameter 'CONFIG_PARAM_AUDIO_SERVER_STREAM_6_ENABLE'"), 3U);
  EXPECT_EQ(countOf(text, "_ENABLE"), 7U);
  ASSERT_EQ(state["Receivers"].size(), 1U);
  EXPECT_EQ(state["Receivers"][0]["Id"], 6);
  EXPECT_EQ(state["Streamers"].size(), 0U);
}

TEST_F(VextroDeviceState, HealthyDeviceFullForm) {
  const Json state = Build();
  std::vector<std::string> keys;
  for (const auto& item : state.items()) keys.push_back(item.key());
  EXPECT_EQ(keys, (std::vector<std::string>{"Actions", "IOGroups", "Id", "Identity", "Network", "Receivers", "Status",
                                            "Streamers", "WebServices"}));
  EXPECT_EQ(DumpCompact(state["Actions"]),
            R"({"CreateReceiver":{},"CreateStreamer":{},"DeleteReceiver":{},"DeleteStreamer":{},"SetSampleRate":{}})");
  EXPECT_TRUE(state["Id"].is_number_unsigned());
  EXPECT_EQ(state["Id"], 7);
  EXPECT_EQ(DumpCompact(state["Status"]), R"({"Code":1,"Errors":{},"Message":"OK"})");
  EXPECT_EQ(
      DumpCompact(state["Identity"]),
      R"({"Company":"Vextro Technologies","Name":"Sim","Product":"CANTOR","Serial":"00-1D-C1-00-00-01","Version":"1.0"})");
  EXPECT_EQ(DumpCompact(state["WebServices"]), R"([{"Name":"Web Control Panel","URL":"http://127.0.0.1:8080"}])");
  EXPECT_EQ(
      DumpCompact(state["Network"]),
      R"({"HostName":"","Interfaces":[{"Address":"127.0.0.1","Config":1,"Gateway":"0.0.0.0","Id":0,"Name":"eth0",)"
      R"("Netmask":"255.0.0.0"}],"Services":{"PTP":{"DSCP":46,"Domain":0,"Master":{"Accuracy":254,"Announce":1,)"
      R"("Class":248,"DelayMechanism":0,"GMID":"00-1D-C1-FF-FE-00-00-01","Prio1":128,"Prio2":128,)"
      R"("SlaveOnly":false,"Sync":0},"Status":{"GMID":"00-1D-C1-FF-FE-00-00-01","IsMaster":true,"Jitter":0}}}})");
  const Json& group = state["IOGroups"][0];
  EXPECT_EQ(group["Status"]["SampleRate"], 48000);
  ASSERT_EQ(group["Inputs"].size(), 8U);
  EXPECT_EQ(DumpCompact(group["Inputs"][0]), R"({"Id":0,"Name":"NET - 01","Status":{"State":1}})");
  EXPECT_EQ(group["Outputs"][7]["Name"], "NET - 08");
  EXPECT_EQ(
      DumpCompact(group["Capabilities"]),
      R"({"Codecs":["L16","L24","L32","AM824"],"InternalRouting":"no","SampleRates":[44100,48000,88200,96000,176400,192000]})");
  EXPECT_EQ(state["Receivers"], Json::array());
  EXPECT_EQ(state["Streamers"], Json::array());
  EXPECT_FALSE(log.contains("WARNING"));
}

TEST_F(VextroDeviceState, NetworkLooksUpItsValuesInTableOrder) {
  configuration.clear();
  statistics.clear();
  log.clear();
  (void)BuildNetwork(view, configuration, statistics);
  const std::string text = log.text();
  std::size_t previous = 0;
  for (const char* name :
       {"CONFIG_PARAM_NETWORK_DYNAMIC_IP_ADDRESS_PHY1", "CONFIG_PARAM_PTP_CLOCK_ACCURACY",
        "CONFIG_PARAM_PTP_CLOCK_CLOCK_CLASS", "CONFIG_PARAM_PTP_CLOCK_PRIORITY1", "CONFIG_PARAM_PTP_CLOCK_PRIORITY2",
        "STATISTIC_PARAM_PTP_CLOCK_MASTER_CLOCK_ID", "CONFIG_PARAM_PTP_CLOCK_SLAVE_ONLY",
        "CONFIG_PARAM_PTP_CLOCK_DELAY_MECHANISM", "CONFIG_PARAM_PTP_CLOCK_ANNOUNCE", "CONFIG_PARAM_PTP_CLOCK_SYNC",
        "STATISTIC_PARAM_PTP_CLOCK_STATUS", "STATISTIC_PARAM_PTP_CLOCK_MASTER_CLOCK_ID",
        "STATISTIC_PARAM_PTP_CLOCK_DRIFT", "CONFIG_PARAM_PTP_CLOCK_DOMAIN_PHY1", "CONFIG_PARAM_PTP_CLOCK_DSCP"}) {
    const std::size_t at = text.find(std::string("parameter: ") + name + "\n", previous);
    ASSERT_NE(at, std::string::npos) << name;
    previous = at + 1;
  }
}

TEST_F(VextroDeviceState, RedundantAndUnreachableForms) {
  EXPECT_EQ(DumpCompact(Build("Error: connect: Connection refused")),
            R"({"Status":{"Code":3,"Errors":{"Network":"Error: connect: Connection refused"},"Message":"ERROR"}})");
  EXPECT_EQ(DumpCompact(Build("ok")), R"({"Status":{"Code":3,"Errors":{"Network":"ok"},"Message":"ERROR"}})");
  EXPECT_EQ(Build("OK ")["Status"]["Errors"]["Network"], "OK ");
  view.isRedundant = true;
  EXPECT_EQ(
      DumpCompact(Build()),
      R"({"Status":{"Code":3,"Errors":{"Redundant Device":"Another instance of this device already is present"},"Message":"ERROR"}})");
}

TEST_F(VextroDeviceState, DeviceAndPtpErrors) {
  statistics.clear();
  EXPECT_EQ(DumpCompact(Errors()), R"({"PTP_CLOCK_STATUS":"PTP Clock is Initializing"})");
  EXPECT_TRUE(log.contains("WARNING: Can't find configuration value for parameter: STATISTIC_PARAM_PTP_CLOCK_STATUS"));
  statistics["STATISTIC_PARAM_PTP_CLOCK_STATUS"] = "4";
  EXPECT_EQ(Errors(), Json::object());
  EXPECT_EQ(Build()["Network"]["Services"]["PTP"]["Status"]["IsMaster"], false);
  statistics["STATISTIC_PARAM_PTP_CLOCK_STATUS"] = "3";
  statistics["STATISTIC_PARAM_PTP_NO_PTP_DELAY_RESP_RECV"] = "1";
  statistics["STATISTIC_PARAM_STATUS"] = std::to_string(1 | 2 | 4 | 16 | 32);
  EXPECT_EQ(
      DumpCompact(Errors()),
      R"({"PTP_CLOCK_STATUS":"PTP Clock is Listening","PTP_DELAY_STATUS":"No PTP Delay or PDelay response received",)"
      R"("STATISTIC_PARAM_STATUS_AUDIO-RX":"Audio-RX Error","STATISTIC_PARAM_STATUS_AUDIO-TX":"Audio-TX Error",)"
      R"("STATISTIC_PARAM_STATUS_PHY1":"PHY1 link speed is 100 MBit/s (should be 1 GBit/s) "})");
  EXPECT_EQ(Build()["Status"]["Code"], 3);
  EXPECT_EQ(Build()["Status"]["Message"], "ERROR");
  statistics["STATISTIC_PARAM_PTP_CLOCK_STATUS"] = "5";
  statistics["STATISTIC_PARAM_PTP_NO_PTP_DELAY_RESP_RECV"] = "0";
  statistics["STATISTIC_PARAM_STATUS"] = "12";
  EXPECT_EQ(Errors(), Json::object());
}

TEST_F(VextroDeviceState, InputStreamErrorBits) {
  statistics["STATISTIC_PARAM_AUDIO_CLIENT_STREAM_STATUS_PHY1"] = "6#0#6#6";
  statistics["STATISTIC_PARAM_AUDIO_CLIENT_STREAM_ERROR_STATUS_PHY1"] = "8192#0#0#2305843009213693952";
  statistics["STATISTIC_PARAM_AUDIO_CLIENT_STREAM_STATUS_PHY2"] = "6";
  statistics["STATISTIC_PARAM_AUDIO_CLIENT_STREAM_ERROR_STATUS_PHY2"] = "-1";
  const Json errors = Errors();
  EXPECT_EQ(errors["AUDIO_CLIENT_STREAM_1_STATUS_PHY1"], "Input Stream 1 Error: SAP: SDP - Entry not found (Port 1)");
  EXPECT_EQ(errors["AUDIO_CLIENT_STREAM_3_STATUS_PHY1"], "Input Stream 3 Error: [Unknown Error] (Port 1)");
  EXPECT_EQ(errors["AUDIO_CLIENT_STREAM_4_STATUS_PHY1"], "Input Stream 4 Error: SDP: PTIME too small (Port 1)");
  EXPECT_EQ(errors["AUDIO_CLIENT_STREAM_1_STATUS_PHY2"], "Input Stream 1 Error: SAP: SDP - Entry not found (Port 2)");
  EXPECT_EQ(errors.size(), 4U);
}

TEST_F(VextroDeviceState, SlotErrorsFollowSelectors) {
  configuration["CONFIG_PARAM_AUDIO_CLIENT_STREAM_1_ENABLE"] = "1";
  configuration["CONFIG_PARAM_AUDIO_CLIENT_STREAM_1_PHY_SELECTOR"] = "2";
  configuration["CONFIG_PARAM_AUDIO_CLIENT_STREAM_2_ENABLE"] = "1";
  configuration["CONFIG_PARAM_AUDIO_CLIENT_STREAM_2_PHY_SELECTOR"] = "1";
  statistics["STATISTIC_PARAM_STATUS5_PHY1"] = std::to_string(0x80000000U | 0x40000000U);
  statistics["STATISTIC_PARAM_STATUS5_PHY2"] = std::to_string(0x80000000U);
  statistics["STATISTIC_PARAM_STATUS6_PHY2"] = std::to_string(0xC0000000U);
  statistics["STATISTIC_PARAM_STATUS7"] = std::to_string(0x40000000U | 0x20000000U);
  configuration["CONFIG_PARAM_AUDIO_SERVER_STREAM_32_ENABLE"] = "1";
  statistics["STATISTIC_PARAM_STREAM_OUTPUT_WARNING_PHY1"] = "1";
  statistics["STATISTIC_PARAM_STREAM_OUTPUT_ERROR_PHY1"] = "1";
  statistics["STATISTIC_PARAM_STREAM_OUTPUT_ERROR_PHY2"] = "1";
  EXPECT_EQ(
      DumpCompact(Errors()),
      R"J({"STATISTIC_PARAM_STATUS5_PHY1STREAM01":"Input Stream 01: Timestamp-Error (Port 1)",)J"
      R"J("STATISTIC_PARAM_STATUS5_PHY2STREAM01":"Input Stream 01: Timestamp-Error (Port 2)",)J"
      R"J("STATISTIC_PARAM_STATUS6_PHY2STREAM02":"Input Stream 02: Not connected (Port 2)",)J"
      R"J("STATISTIC_PARAM_STATUS7_STREAM02":"Input Stream 02: RTP timestamp out of bounds (can not be played on time)",)J"
      R"J("STATISTIC_PARAM_STREAM_OUTPUT_WARNING_PHY1_STREAM32":"Output Stream 32: Stream is redundant, but sends only on one port"})J");
}

TEST_F(VextroDeviceState, RatesChannelCountsAndStaticAddressing) {
  statistics["STATISTIC_PARAM_STATUS"] = std::to_string(3U << 28);  // 96 kHz
  configuration["CONFIG_SHARED_AUDIO_CONTROL_AUDIO_INTERFACE_MAX_CH_RX_2FS"] = "6";
  Json group = Build()["IOGroups"][0];
  EXPECT_EQ(group["Status"]["SampleRate"], 96000);
  EXPECT_EQ(group["Inputs"].size(), 6U);
  view.config = std::make_shared<KorvelRavConfig>();  // at most 64 channels
  statistics["STATISTIC_PARAM_STATUS"] = std::to_string(1U << 28);
  configuration["CONFIG_SHARED_AUDIO_CONTROL_AUDIO_INTERFACE_MAX_CH_RX_1FS"] = "128";
  configuration["CONFIG_SHARED_AUDIO_CONTROL_AUDIO_INTERFACE_MAX_CH_TX_1FS"] = "4294967295";
  group = Build()["IOGroups"][0];
  EXPECT_EQ(group["Inputs"].size(), 64U);
  EXPECT_EQ(group["Outputs"].size(), 64U);
  view.config = std::make_shared<Selva17Config>();
  configuration["CONFIG_SHARED_AUDIO_CONTROL_AUDIO_INTERFACE_MAX_CH_TX_1FS"] = "2";
  group = Build()["IOGroups"][0];
  EXPECT_EQ(group["Inputs"][0]["Name"], "NET - 001");
  EXPECT_EQ(group["Outputs"][1]["Name"], "NET - 002");
  configuration["CONFIG_PARAM_NETWORK_DYNAMIC_IP_ADDRESS_PHY1"] = "0";
  configuration["CONFIG_PARAM_NETWORK_IP_ADDRESS_PHY1"] = "10.0.0.9";
  configuration.erase("CONFIG_PARAM_NETWORK_SUBNET_MASK_PHY1");
  EXPECT_EQ(
      DumpCompact(Build()["Network"]["Interfaces"]),
      R"([{"Address":"10.0.0.9","Config":1,"Gateway":"0.0.0.0","Id":0,"Name":"eth0","Netmask":"255.255.255.0"}])");
  view.host = "10.0.0.5";
  configuration["CONFIG_PARAM_NETWORK_DYNAMIC_IP_ADDRESS_PHY1"] = "1";
  EXPECT_EQ(Build()["Network"]["Interfaces"][0]["Netmask"], "255.0.0.0");
}

TEST_F(VextroDeviceState, StreamerAndReceiverEntries) {
  configuration.clear();
  EXPECT_EQ(BuildReceivers(view, configuration, statistics), Json::array());
  EXPECT_EQ(BuildStreamers(view, configuration, statistics), Json::array());
  configuration["CONFIG_PARAM_AUDIO_CLIENT_STREAM_3_ENABLE"] = "1";
  Json receivers = BuildReceivers(view, configuration, statistics);
  ASSERT_EQ(receivers.size(), 1U);
  EXPECT_EQ(DumpCompact(receivers[0]),
            R"({"Id":2,"Mapping":[{"Id":0,"Outputs":[{"IOGroupId":0,"OutputId":0}]}],"Name":"2","PlayOutDelay":0,)"
            R"("Status":{"SDP":"","State":3,"StreamDescription":{"Address":"0.0.0.0","Codec":"L24","FrameSize":0,)"
            R"("NetworkInterfaceId":0,"Port":0}},"StreamName":"2"})");
  view.pendingReceiverSlots.insert(2);
  EXPECT_EQ(BuildReceivers(view, configuration, statistics)[0]["Status"]["State"], 0);
  configuration["CONFIG_PARAM_AUDIO_CLIENT_STREAM_1_ENABLE"] = "1";
  configuration["CONFIG_PARAM_AUDIO_CLIENT_STREAM_1_DST_IP_ADDRESS_PHY2"] = "239.1.1.2";
  configuration["CONFIG_PARAM_AUDIO_CLIENT_STREAM_1_DST_IP_ADDRESS"] = "239.1.1.0";
  view.portIndex = 1;
  EXPECT_EQ(BuildReceivers(view, configuration, statistics)[0]["Status"]["StreamDescription"]["Address"], "239.1.1.2");
  view.portIndex = -1;
  EXPECT_EQ(BuildReceivers(view, configuration, statistics)[0]["Status"]["StreamDescription"]["Address"], "239.1.1.0");

  configuration["CONFIG_PARAM_AUDIO_SERVER_STREAM_2_ENABLE"] = "1";
  configuration["CONFIG_PARAM_AUDIO_SERVER_STREAM_2_START_CH"] = "4";
  configuration["CONFIG_PARAM_AUDIO_SERVER_STREAM_2_NUM_CH"] = "1";
  configuration["CONFIG_PARAM_AUDIO_SERVER_STREAM_2_STREAM_NAME"] = "S1";
  configuration["CONFIG_PARAM_AUDIO_SERVER_STREAM_2_RTP_DST"] = "5004";
  Json streamers = BuildStreamers(view, configuration, statistics);
  ASSERT_EQ(streamers.size(), 1U);
  EXPECT_EQ(
      DumpCompact(streamers[0]),
      R"({"Id":1,"Mapping":[{"IOGroupId":0,"InputId":4},{"IOGroupId":0,"InputId":5}],"Status":{"State":2},)"
      R"("StreamDescription":{"Address":"0.0.0.0","Codec":"L24","FrameSize":0,"NetworkInterfaceId":0,"Port":5004},)"
      R"("StreamName":"S1"})");
  configuration["CONFIG_PARAM_AUDIO_SERVER_STREAM_2_NUM_CH"] = "0";
  EXPECT_EQ(BuildStreamers(view, configuration, statistics)[0]["Mapping"].size(), 1U);
  configuration["CONFIG_PARAM_AUDIO_SERVER_STREAM_2_NUM_CH"] = "-3";
  EXPECT_EQ(BuildStreamers(view, configuration, statistics)[0]["Mapping"].size(), 0U);
  for (int format = 0; format <= 3; ++format) {
    configuration["CONFIG_PARAM_AUDIO_SERVER_STREAM_2_FORMAT"] = std::to_string(format);
    EXPECT_EQ(BuildStreamers(view, configuration, statistics)[0]["StreamDescription"]["Codec"],
              std::vector<std::string>({"L16", "L24", "L32", "AM824"})[static_cast<std::size_t>(format)]);
  }
  // A device value near INT32_MAX must not overflow or build billions of entries.
  configuration["CONFIG_PARAM_AUDIO_SERVER_STREAM_2_START_CH"] = "2147483647";
  configuration["CONFIG_PARAM_AUDIO_SERVER_STREAM_2_NUM_CH"] = "2147483647";
  EXPECT_EQ(BuildStreamers(view, configuration, statistics)[0]["Mapping"].size(),
            static_cast<std::size_t>(kMaxMappingEntries));
  EXPECT_TRUE(log.contains("WARNING: channel mapping of 'CONFIG_PARAM_AUDIO_SERVER_STREAM_2' capped at 1024 entries"));
}

}  // namespace
}  // namespace Vextro
