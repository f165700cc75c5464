// Streamer creation and deletion through action lists, against the simulated device: the exact
// writes, their order, the change records and every failure path.
#include <gtest/gtest.h>

#include "plugins/vextro/tests/ActionFixture.h"

namespace Vextro {
namespace {

using vextro_sim::SimOptions;
using vextro_test::StatusFault;
using vextro_test::WireParameters;

constexpr const char* kS1 = "CONFIG_PARAM_AUDIO_SERVER_STREAM_1";

std::string CreateStreamerList(const std::string& channels, const std::string& description = "",
                               const std::string& name = "S1") {
  std::string data = R"({"StreamName":")" + name + R"(","Mapping":[)";
  bool first = true;
  for (const char c : channels) {
    data += std::string(first ? "" : ",") + R"({"IOGroupId":0,"InputId":)" + c + "}";
    first = false;
  }
  data += "]" + (description.empty() ? "" : R"(,"StreamDescription":)" + description) + "}";
  return R"([{"Path":"Actions.CreateStreamer","Data":)" + data + "}]";
}

class VextroStreamerActions : public vextro_test::ActionTest {};

TEST_F(VextroStreamerActions, CreateWritesTheSettingsThenEnablesAndReportsTheStreamer) {
  StartProxy();
  ASSERT_EQ(Apply(CreateStreamerList("54")), 0);
  const std::string s = kS1;
  const std::vector<WireParameters> expected = {{{s + "_FORMAT", "1"},
                                                 {s + "_FRAME_SIZE", "48"},
                                                 {s + "_IP_ADDRESS_DST_PHY1", "239.69.1.1"},
                                                 {s + "_NUM_CH", "1"},
                                                 {s + "_PHY_SELECTOR", "0"},
                                                 {s + "_RTCP_DST_PHY1", "5005"},
                                                 {s + "_RTP_DST_PHY1", "0"},
                                                 {s + "_START_CH", "4"},
                                                 {s + "_STREAM_NAME", "S1"}},
                                                {{s + "_ENABLE", "1"}}};
  EXPECT_EQ(Saves(), expected);
  const Json records = inbox.Records();
  ASSERT_EQ(inbox.Texts().size(), 1U);
  ASSERT_EQ(records.size(), 1U);
  EXPECT_EQ(records[0]["Operation"], 0);
  EXPECT_EQ(records[0]["Path"], "$.Devices[?(@.Id==7)].Streamers[?(@.Id==0)]");
  EXPECT_EQ(DumpCompact(records[0]["Data"]),
            R"({"Id":0,"Mapping":[{"IOGroupId":0,"InputId":4},{"IOGroupId":0,"InputId":5}],"Status":{"State":2},)"
            R"("StreamDescription":{"Address":"239.69.1.1","Codec":"L24","FrameSize":48,"NetworkInterfaceId":0,)"
            R"("Port":0},"StreamName":"S1"})");
  EXPECT_EQ(device->config().at(s + "_ENABLE"), "1");
  EXPECT_EQ(proxy->GetConfigCache().at(s + "_START_CH"), "4");
  for (const char* line : {">> Creating new streamer: 'S1'", ":\t Dest IP: 239.69.1.1 - RTP port: 0 - RTCP port: 5005",
                           ":\t  start channel: 4 - channel count: 2", "Streamer was successfully created"}) {
    EXPECT_TRUE(Logged(line)) << line;
  }
  // The device agrees at the next cycle: nothing more to report.
  proxy->RunRefreshCycle();
  EXPECT_EQ(inbox.Texts().size(), 1U);
}

TEST_F(VextroStreamerActions, SlotAddressPortAndCodecRules) {
  device->setConfig("CONFIG_PARAM_AUDIO_SERVER_STREAM_1_ENABLE", "1");
  device->setConfig("CONFIG_PARAM_AUDIO_SERVER_STREAM_2_ENABLE", "1");
  StartProxy();
  ASSERT_EQ(Apply(CreateStreamerList("312", R"({"Address":" 0.0.0.0\t","Port":5005,"Codec":"am824","FrameSize":16})")),
            0);
  const auto firstSaves = Saves();
  ASSERT_EQ(firstSaves.size(), 2U);
  const WireParameters& first = firstSaves[0];
  const std::string s = "CONFIG_PARAM_AUDIO_SERVER_STREAM_3";
  EXPECT_EQ(first[0], (std::pair<std::string, std::string>{s + "_FORMAT", "3"}));
  EXPECT_EQ(first[1].second, "16");
  EXPECT_EQ(first[2], (std::pair<std::string, std::string>{s + "_IP_ADDRESS_DST_PHY1", "239.69.1.3"}));
  EXPECT_EQ(first[3].second, "2");
  EXPECT_EQ(first[5], (std::pair<std::string, std::string>{s + "_RTCP_DST_PHY1", "5006"}));
  EXPECT_EQ(first[6].second, "5005");
  EXPECT_EQ(first[7].second, "1");

  // An explicit address is written as given; an unknown codec becomes L24; negative numbers are
  // written in signed decimal.
  device->clearRequests();
  ASSERT_EQ(Apply(CreateStreamerList("7", R"({"Address":"239.1.2.3","Port":-1,"Codec":"OPUS","FrameSize":-5})")), 0);
  const auto secondSaves = Saves();
  ASSERT_EQ(secondSaves.size(), 2U);
  const WireParameters& second = secondSaves[0];
  EXPECT_EQ(second[0], (std::pair<std::string, std::string>{"CONFIG_PARAM_AUDIO_SERVER_STREAM_4_FORMAT", "1"}));
  EXPECT_EQ(second[1].second, "-5");
  EXPECT_EQ(second[2].second, "239.1.2.3");
  EXPECT_EQ(second[3].second, "0");
  EXPECT_EQ(second[5].second, "5005");
  EXPECT_EQ(second[6].second, "-1");
  EXPECT_TRUE(Logged("ERROR: unexpected stream codec value: 'OPUS'"));

  // Members of the wrong kind keep their defaults.
  device->clearRequests();
  ASSERT_EQ(Apply(CreateStreamerList("8", R"({"Address":1,"Port":"5004","Codec":2,"FrameSize":1.5})")), 0);
  ASSERT_EQ(Saves().size(), 2U);
  EXPECT_EQ(Saves()[0][0].second, "1");
  EXPECT_EQ(Saves()[0][1].second, "48");
  EXPECT_EQ(Saves()[0][2].second, "239.69.1.5");
  EXPECT_EQ(Saves()[0][6].second, "0");
}

TEST_F(VextroStreamerActions, PortSuffixFollowsThePortTheProxyUses) {
  SimOptions options;
  options.secondListener = true;
  device = std::make_unique<vextro_sim::SimDevice>(options);
  StartProxy("127.0.0.2", device->secondPort());
  ASSERT_EQ(proxy->GetPortIndex(), 1);
  ASSERT_EQ(Apply(CreateStreamerList("0")), 0);
  const auto saves = Saves();
  ASSERT_FALSE(saves.empty());
  const WireParameters& first = saves[0];
  EXPECT_EQ(first[2], (std::pair<std::string, std::string>{std::string(kS1) + "_IP_ADDRESS_DST_PHY2", "239.69.2.1"}));
  EXPECT_EQ(first[4].second, "1");
  EXPECT_EQ(first[5].first, std::string(kS1) + "_RTCP_DST_PHY2");
  EXPECT_EQ(first[6].first, std::string(kS1) + "_RTP_DST_PHY2");

  // Port unknown: the names carry no suffix.
  proxy.reset();
  device->eraseStatistic("STATISTIC_PARAM_CURRENT_IP_ADDRESS_PHY2");
  StartProxy();
  ASSERT_EQ(proxy->GetPortIndex(), -1);
  ASSERT_EQ(Apply(CreateStreamerList("0")), 0);
  ASSERT_FALSE(Saves().empty());
  EXPECT_EQ(Saves()[0][2].first, "CONFIG_PARAM_AUDIO_SERVER_STREAM_2_IP_ADDRESS_DST");
  EXPECT_EQ(Saves()[0][4].second, "0");
}

TEST_F(VextroStreamerActions, RefusalsWriteNothing) {
  StartProxy();
  for (const char* channels : {"11", "13"}) {
    log.clear();
    EXPECT_EQ(Apply(CreateStreamerList(channels)), 0);
    EXPECT_TRUE(
        Logged("ERROR: Got unexpected mapping channels in createStreamer action. "
               "Channel indices are not contiguous, as requested"));
  }
  // Only IO group 0 is served: nothing is called, nothing logged.
  log.clear();
  EXPECT_EQ(Apply(R"([{"Path":"Actions.CreateStreamer",)"
                  R"("Data":{"StreamName":"x","Mapping":[{"IOGroupId":1,"InputId":0}]}}])"),
            0);
  EXPECT_EQ(log.text(), "");
  EXPECT_TRUE(Saves().empty());
  proxy.reset();
  for (uint32_t n = 1; n <= 32; ++n) {
    device->setConfig("CONFIG_PARAM_AUDIO_SERVER_STREAM_" + std::to_string(n) + "_ENABLE", "1");
  }
  StartProxy();
  EXPECT_EQ(Apply(CreateStreamerList("0")), 0);
  EXPECT_TRUE(Logged("ERROR: can't find free streamer slot"));
  EXPECT_TRUE(Saves().empty());
}

TEST_F(VextroStreamerActions, HeaderInjectionIsRefusedBeforeAnyWrite) {
  StartProxy();
  ASSERT_EQ(Apply(
                CreateStreamerList("0", R"({"Address":"239.1.1.1\r\nCONFIG_PARAM_AUDIO_SERVER_STREAM_9_ENABLE: 1"})")),
            0);
  EXPECT_TRUE(Requests("/save.htm").empty());
  EXPECT_TRUE(Logged("ERROR: Error while setting new device state in createStreamer: refused to send parameter"));
  EXPECT_EQ(device->config().at("CONFIG_PARAM_AUDIO_SERVER_STREAM_9_ENABLE"), "0");
  EXPECT_TRUE(inbox.Texts().empty());
  // A name is URL-encoded on the wire, so line breaks in it arrive as part of the name.
  ASSERT_EQ(Apply(CreateStreamerList("0", "", R"(a\r\nCONFIG_PARAM_X: 1 %+)")), 0);
  ASSERT_EQ(Saves().size(), 2U);
  EXPECT_EQ(Saves()[0][8].second.find_first_of("\r\n: "), std::string::npos);
  EXPECT_EQ(device->config().at(std::string(kS1) + "_STREAM_NAME"), "a\r\nCONFIG_PARAM_X: 1 %+");
  EXPECT_EQ(device->config().count("CONFIG_PARAM_X"), 0U);
}

TEST_F(VextroStreamerActions, HostWithoutDottedAddressCannotFormTheDefaultDestination) {
  // An IPv4-mapped IPv6 host reaches the simulated device but has no dotted IPv4 form.
  StartProxy("::ffff:127.0.0.1");
  ASSERT_EQ(State()["Status"]["Message"], "OK");
  EXPECT_EQ(Apply(CreateStreamerList("0")), 0);
  EXPECT_TRUE(Logged("ERROR: Error while setting new device state in createStreamer: "));
  EXPECT_TRUE(Requests("/save.htm").empty());
  // An explicit destination needs no host address.
  ASSERT_EQ(Apply(CreateStreamerList("0", R"({"Address":"239.9.9.9"})")), 0);
  EXPECT_EQ(Saves().size(), 2U);
}

TEST_F(VextroStreamerActions, FailedWritesLeaveWhatWasAccepted) {
  StartProxy();
  const ParameterMap before = proxy->GetConfigCache();
  device->setFault("/save.htm", StatusFault(500));
  EXPECT_EQ(Apply(CreateStreamerList("0")), 0);
  EXPECT_TRUE(
      Logged("ERROR: Error while setting new device state in createStreamer: "
             "Response returned with status code: 500"));
  EXPECT_EQ(Saves().size(), 1U);
  EXPECT_EQ(proxy->GetConfigCache(), before);
  EXPECT_TRUE(inbox.Texts().empty());

  // Second write refused: configured, not enabled, in the cache and on the device.
  device->clearRequests();
  device->setFault("/save.htm", StatusFault(500, 1));
  EXPECT_EQ(Apply(CreateStreamerList("0")), 0);
  EXPECT_EQ(Saves().size(), 2U);
  EXPECT_EQ(proxy->GetConfigCache().at(std::string(kS1) + "_STREAM_NAME"), "S1");
  EXPECT_EQ(proxy->GetConfigCache().at(std::string(kS1) + "_ENABLE"), "0");
  EXPECT_EQ(device->config().at(std::string(kS1) + "_ENABLE"), "0");
  EXPECT_TRUE(inbox.Texts().empty());
}

TEST_F(VextroStreamerActions, DeleteDisablesThenClearsAndReportsTheRemoval) {
  device->setConfig(std::string(kS1) + "_ENABLE", "1");
  device->setConfig(std::string(kS1) + "_STREAM_NAME", "Old");
  StartProxy();
  ASSERT_EQ(Apply(R"([{"Path":"$.Devices[?(@.Id==7)].Actions.DeleteStreamer","Data":{"Id":0}}])"), 0);
  const std::string s = kS1;
  const std::vector<WireParameters> expected = {
      {{s + "_ENABLE", "0"}}, {{s + "_NUM_CH", "0"}, {s + "_START_CH", "0"}, {s + "_STREAM_NAME", ""}}};
  EXPECT_EQ(Saves(), expected);
  ASSERT_EQ(inbox.Texts().size(), 1U);
  EXPECT_EQ(inbox.Texts()[0], R"([{"Data":{},"Operation":2,"Path":"$.Devices[?(@.Id==7)].Streamers[?(@.Id==0)]"}])");
  EXPECT_TRUE(Logged(">> Deleting streamer with id: 0"));
  EXPECT_TRUE(Logged("Streamer was successfully deleted"));

  device->clearRequests();
  ASSERT_EQ(Apply(R"([{"Path":"Actions.DeleteStreamer","Data":{"Id":31}},)"
                  R"({"Path":"Actions.DeleteStreamer","Data":{"Id":32}}])"),
            0);
  ASSERT_EQ(Saves().size(), 2U);
  EXPECT_EQ(Saves()[0][0].first, "CONFIG_PARAM_AUDIO_SERVER_STREAM_32_ENABLE");
  EXPECT_TRUE(Logged("ERROR: invalid streamer index"));
}

TEST_F(VextroStreamerActions, FailedClearLeavesTheStreamerDisabledWithItsSettings) {
  device->setConfig(std::string(kS1) + "_ENABLE", "1");
  device->setConfig(std::string(kS1) + "_STREAM_NAME", "Old");
  StartProxy();
  device->setFault("/save.htm", StatusFault(500, 1));
  ASSERT_EQ(Apply(R"([{"Path":"Actions.DeleteStreamer","Data":{"Id":0}}])"), 0);
  EXPECT_TRUE(
      Logged("ERROR: Error while setting new device state in deleteStreamer: "
             "Response returned with status code: 500"));
  EXPECT_EQ(device->config().at(std::string(kS1) + "_ENABLE"), "0");
  EXPECT_EQ(device->config().at(std::string(kS1) + "_STREAM_NAME"), "Old");
  EXPECT_EQ(proxy->GetConfigCache().at(std::string(kS1) + "_STREAM_NAME"), "Old");
  ASSERT_EQ(inbox.Records().size(), 1U);
  EXPECT_EQ(inbox.Records()[0]["Operation"], 2);
}

}  // namespace
}  // namespace Vextro
