// Receiver creation and deletion through action lists, against the simulated device.
#include <gtest/gtest.h>

#include "plugins/vextro/tests/ActionFixture.h"

namespace Vextro {
namespace {

using vextro_sim::SimOptions;
using vextro_test::StatusFault;
using vextro_test::WireParameters;

constexpr const char* kR1 = "CONFIG_PARAM_AUDIO_CLIENT_STREAM_1";

// One mapping element per channel, each with one output of IO group 0.
std::string CreateReceiverList(const std::vector<int>& channels, const std::string& name = "Mic 1") {
  std::string mapping;
  for (const int channel : channels) {
    mapping += std::string(mapping.empty() ? "" : ",") + R"({"Outputs":[{"IOGroupId":0,"OutputId":)" +
               std::to_string(channel) + "}]}";
  }
  return R"([{"Path":"Actions.CreateReceiver","Data":{"StreamName":")" + name + R"(","Mapping":[)" + mapping + "]}}]";
}

std::string DeleteReceiverList(const std::string& id) {
  return R"([{"Path":"Actions.DeleteReceiver","Data":{"Id":)" + id + "}}]";
}

class VextroReceiverActions : public vextro_test::ActionTest {};

TEST_F(VextroReceiverActions, CreateWritesOneSaveAndQueuesTheSetUp) {
  StartProxy();
  ASSERT_EQ(Apply(CreateReceiverList({5, 3, 4})), 0);
  const std::string r = kR1;
  const std::vector<WireParameters> expected = {{
      {r + "_AUTOMATIC_CONFIG", "1"},
      {r + "_BACKUP_STREAM", "0"},
      {r + "_CHANNELS", "2"},
      {r + "_CH_USE_127_96", "4294967295"},
      {r + "_CH_USE_159_128", "4294967295"},
      {r + "_CH_USE_191_160", "4294967295"},
      {r + "_CH_USE_223_292", "4294967295"},
      {r + "_CH_USE_255_224", "4294967295"},
      {r + "_CH_USE_31_0", "4294967295"},
      {r + "_CH_USE_63_32", "4294967295"},
      {r + "_CH_USE_95_64", "4294967295"},
      {r + "_CH_WRITE", "0"},
      {r + "_PHY_SELECTOR", "0"},
      {r + "_START_STREAM_CH", "3"},
      {r + "_STREAM_NAME", "Mic%201"},
      {r + "_TRANSFER", "3"},
      {r + "_UNICAST", "0"},
  }};
  EXPECT_EQ(Saves(), expected);
  const auto pending = proxy->GetPendingAutoConfigure();
  ASSERT_EQ(pending.size(), 1U);
  EXPECT_EQ(pending.at(0).streamName, "Mic 1");
  EXPECT_EQ(pending.at(0).startChannel, 3U);
  EXPECT_EQ(pending.at(0).channelCount, 3U);
  EXPECT_EQ(device->config().at(r + "_STREAM_NAME"), "Mic 1");
  EXPECT_EQ(device->config().at(r + "_ENABLE"), "0");
  // Not enabled yet, so not listed: no record inside the call.
  EXPECT_TRUE(inbox.Texts().empty());
  for (const char* line : {">> Creating new receiver: 'Mic 1'", ":\t  startChannel: 3 - channelCount: 3",
                           "Receiver was successfully created"}) {
    EXPECT_TRUE(Logged(line)) << line;
  }
  // A single channel writes a channel count of 0.
  device->clearRequests();
  ASSERT_EQ(Apply(CreateReceiverList({7}, "Two")), 0);
  ASSERT_EQ(Saves().size(), 1U);
  EXPECT_EQ(Saves()[0][2], (std::pair<std::string, std::string>{"CONFIG_PARAM_AUDIO_CLIENT_STREAM_2_CHANNELS", "0"}));
  EXPECT_EQ(Saves()[0][13].second, "7");
}

TEST_F(VextroReceiverActions, FreeSlotSkipsEnabledAndPendingSlots) {
  device->setConfig("CONFIG_PARAM_AUDIO_CLIENT_STREAM_1_ENABLE", "1");
  device->setConfig("CONFIG_PARAM_AUDIO_CLIENT_STREAM_2_ENABLE", "1");
  StartProxy();
  ASSERT_EQ(Apply(CreateReceiverList({0}, "A")), 0);
  ASSERT_EQ(Apply(CreateReceiverList({1}, "B")), 0);
  ASSERT_EQ(Saves().size(), 2U);
  EXPECT_EQ(Saves()[0][0].first, "CONFIG_PARAM_AUDIO_CLIENT_STREAM_3_AUTOMATIC_CONFIG");
  EXPECT_EQ(Saves()[1][0].first, "CONFIG_PARAM_AUDIO_CLIENT_STREAM_4_AUTOMATIC_CONFIG");
  EXPECT_EQ(proxy->GetPendingAutoConfigure().size(), 2U);

  proxy.reset();
  for (uint32_t n = 1; n <= 32; ++n) {
    device->setConfig("CONFIG_PARAM_AUDIO_CLIENT_STREAM_" + std::to_string(n) + "_ENABLE", "1");
  }
  StartProxy();
  ASSERT_EQ(Apply(CreateReceiverList({0})), 0);
  EXPECT_TRUE(Logged("ERROR: can't find free receiver slot"));
  EXPECT_TRUE(Saves().empty());
}

TEST_F(VextroReceiverActions, ChannelsMustBeContiguousAndUnique) {
  StartProxy();
  for (const auto& channels : {std::vector<int>{1, 3}, std::vector<int>{2, 2}}) {
    log.clear();
    ASSERT_EQ(Apply(CreateReceiverList(channels)), 0);
    EXPECT_TRUE(
        Logged("ERROR: Got unexpected mapping channels in createReceiver action. "
               "Channel indices are not contiguous, as requested"));
  }
  // Outputs of other IO groups, non-object entries and missing members are passed over.
  ASSERT_EQ(Apply(R"([{"Path":"Actions.CreateReceiver","Data":{"StreamName":"x","Mapping":[)"
                  R"({"Outputs":[{"IOGroupId":1,"OutputId":0},{"OutputId":1},5]},{"Outputs":{}},7]}}])"),
            0);
  EXPECT_TRUE(Saves().empty());
  EXPECT_TRUE(proxy->GetPendingAutoConfigure().empty());
}

TEST_F(VextroReceiverActions, SecondPortSelectsPhy2) {
  SimOptions options;
  options.secondListener = true;
  device = std::make_unique<vextro_sim::SimDevice>(options);
  StartProxy("127.0.0.2", device->secondPort());
  ASSERT_EQ(Apply(CreateReceiverList({0})), 0);
  ASSERT_EQ(Saves().size(), 1U);
  EXPECT_EQ(Saves()[0][12], (std::pair<std::string, std::string>{std::string(kR1) + "_PHY_SELECTOR", "1"}));
  // Port unknown: the first port is selected.
  proxy.reset();
  device->eraseStatistic("STATISTIC_PARAM_CURRENT_IP_ADDRESS_PHY2");
  StartProxy();
  ASSERT_EQ(proxy->GetPortIndex(), -1);
  ASSERT_EQ(Apply(CreateReceiverList({0})), 0);
  ASSERT_EQ(Saves().size(), 1U);
  EXPECT_EQ(Saves()[0][12], (std::pair<std::string, std::string>{std::string(kR1) + "_PHY_SELECTOR", "0"}));
}

TEST_F(VextroReceiverActions, FailedSaveQueuesNothing) {
  StartProxy();
  device->setFault("/save.htm", StatusFault(500));
  ASSERT_EQ(Apply(CreateReceiverList({0})), 0);
  EXPECT_TRUE(
      Logged("ERROR: Error while setting new device state in createReceiver: "
             "Response returned with status code: 500"));
  EXPECT_TRUE(proxy->GetPendingAutoConfigure().empty());
  proxy->RunRefreshCycle();
  EXPECT_TRUE(Requests("/sessions.htm").empty());
}

TEST_F(VextroReceiverActions, DeleteDisablesClearsAndDropsTheQueuedSetUp) {
  device->setConfig(std::string(kR1) + "_ENABLE", "1");
  StartProxy();
  ASSERT_EQ(Apply(CreateReceiverList({0}, "Queued")), 0);  // takes slot 1
  ASSERT_EQ(proxy->GetPendingAutoConfigure().count(1), 1U);
  device->clearRequests();
  ASSERT_EQ(Apply(DeleteReceiverList("0")), 0);
  const std::string r = kR1;
  const std::vector<WireParameters> expected = {
      {{r + "_ENABLE", "0"}},
      {{r + "_CHANNELS", "0"}, {r + "_PHY_SELECTOR", "0"}, {r + "_START_STREAM_CH", "0"}, {r + "_STREAM_NAME", ""}}};
  EXPECT_EQ(Saves(), expected);
  ASSERT_EQ(inbox.Texts().size(), 1U);
  EXPECT_EQ(inbox.Texts()[0], R"([{"Data":{},"Operation":2,"Path":"$.Devices[?(@.Id==7)].Receivers[?(@.Id==0)]"}])");
  EXPECT_TRUE(Logged("Receiver was successfully deleted"));

  // Deleting the queued receiver drops its set-up: its session showing up later connects nothing.
  ASSERT_EQ(Apply(DeleteReceiverList("1")), 0);
  EXPECT_TRUE(proxy->GetPendingAutoConfigure().empty());
  vextro_sim::SimSession session;
  session.name = "Queued";
  device->setSessions({session});
  proxy->RunRefreshCycle();
  EXPECT_TRUE(Requests("/connectsap.htm").empty());
  EXPECT_EQ(device->config().at("CONFIG_PARAM_AUDIO_CLIENT_STREAM_2_ENABLE"), "0");

  device->clearRequests();
  log.clear();
  ASSERT_EQ(Apply(DeleteReceiverList("31")), 0);
  ASSERT_EQ(Apply(DeleteReceiverList("32")), 0);
  ASSERT_EQ(Saves().size(), 2U);
  EXPECT_EQ(Saves()[0][0].first, "CONFIG_PARAM_AUDIO_CLIENT_STREAM_32_ENABLE");
  EXPECT_TRUE(Logged("ERROR: invalid receiver index"));
}

TEST_F(VextroReceiverActions, FailedDisableSkipsTheClear) {
  device->setConfig(std::string(kR1) + "_ENABLE", "1");
  StartProxy();
  vextro_sim::PageFault badStatusLine;
  badStatusLine.rawStatusLine = "ICY 200 OK";
  device->setFault("/save.htm", badStatusLine);
  ASSERT_EQ(Apply(DeleteReceiverList("0")), 0);
  EXPECT_EQ(Saves().size(), 1U);
  EXPECT_TRUE(
      Logged("ERROR: Error while setting new device state in deleteReceiver: "
             "Invalid/unexpected http response type:ICY"));
  EXPECT_EQ(proxy->GetConfigCache().at(std::string(kR1) + "_ENABLE"), "1");
  EXPECT_TRUE(inbox.Texts().empty());
}

}  // namespace
}  // namespace Vextro
