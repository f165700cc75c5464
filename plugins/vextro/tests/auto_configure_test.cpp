// Receiver auto-configuration on the refresh cycle: a queued receiver is connected to its SAP
// session through the simulated device's connect page and its scripted status sequence.
#include <chrono>

#include <gtest/gtest.h>

#include "plugins/vextro/tests/ActionFixture.h"

namespace Vextro {
namespace {

using namespace std::chrono_literals;
using vextro_sim::SimSession;
using vextro_test::StatusFault;
using vextro_test::WireParameters;

constexpr const char* kR1 = "CONFIG_PARAM_AUDIO_CLIENT_STREAM_1";

SimSession Session(const std::string& name, int type = 2, const std::string& originating = "192.168.1.50 x") {
  SimSession session;
  session.name = name;
  session.originating = originating;
  session.hash = 4660;
  session.originatingSource = "239.1.2.3";
  session.type = type;
  return session;
}

class VextroAutoConfigure : public vextro_test::ActionTest {
 protected:
  // Queues a receiver "Mic 1" on channels 2..3 and forgets the requests and lines so far.
  void QueueReceiver(const std::string& name = "Mic 1") {
    ASSERT_EQ(Apply(R"([{"Path":"Actions.CreateReceiver","Data":{"StreamName":")" + name +
                    R"(","Mapping":[{"Outputs":[{"IOGroupId":0,"OutputId":2},{"IOGroupId":0,"OutputId":3}]}]}}])"),
              0);
    ASSERT_FALSE(proxy->GetPendingAutoConfigure().empty());
    device->clearRequests();
    log.clear();
  }
};

TEST_F(VextroAutoConfigure, ConnectsTheSessionAndEnablesTheReceiver) {
  StartProxy();
  QueueReceiver();
  device->setSessions({Session("Mic 1", 1), Session("Mic 1", 2, "first"), Session("Mic 1", 2, "second")});
  device->setConnectScript({3, 4, 5});
  proxy->RunRefreshCycle();

  const auto connects = Requests("/connectsap.htm");
  ASSERT_EQ(connects.size(), 1U);
  const WireParameters expected = {{"CONNECT_SAP_PARAM_STREAM_HASH", "4660"},
                                   {"CONNECT_SAP_PARAM_STREAM_ID", "0"},
                                   {"CONNECT_SAP_PARAM_STREAM_ISPHY2", "0"},
                                   {"CONNECT_SAP_PARAM_STREAM_NAME", "Mic%201"},
                                   {"CONNECT_SAP_PARAM_STREAM_ORGINATING", "first"},
                                   {"CONNECT_SAP_PARAM_STREAM_ORGINATING_SOURCE", "239.1.2.3"}};
  EXPECT_EQ(connects[0].parameters, expected);
  const std::string r = kR1;
  const std::vector<WireParameters> saves = {
      {{r + "_CHANNELS", "1"}, {r + "_PHY_SELECTOR", "0"}, {r + "_START_STREAM_CH", "2"}, {r + "_UNICAST", "0"}},
      {{r + "_ENABLE", "1"}}};
  EXPECT_EQ(Saves(), saves);
  // sessions, connect, three polls, two saves, then the cycle's own two reads.
  std::vector<std::string> paths;
  for (const auto& request : device->requests()) paths.push_back(request.path);
  EXPECT_EQ(paths,
            (std::vector<std::string>{"/sessions.htm", "/connectsap.htm", "/statistic.htm", "/statistic.htm",
                                      "/statistic.htm", "/save.htm", "/save.htm", "/config.htm", "/statistic.htm"}));
  EXPECT_TRUE(proxy->GetPendingAutoConfigure().empty());
  ASSERT_EQ(inbox.Records().size(), 1U);
  const Json record = inbox.Records()[0];
  EXPECT_EQ(record["Operation"], 0);
  EXPECT_EQ(record["Path"], "$.Devices[?(@.Id==7)].Receivers[?(@.Id==0)]");
  EXPECT_EQ(record["Data"]["Name"], "Mic 1");
  EXPECT_EQ(record["Data"]["Status"]["State"], 3);
  EXPECT_EQ(record["Data"]["Mapping"].size(), 2U);
  for (const char* line : {">> Applying pending auto-configure request for stream: 'Mic 1'",
                           "Sending SAP auto-configuration request  STREAM_ORGINATING: 'first' STREAM_HASH: '4660' "
                           "STREAM_ORGINATING_SOURCE: '239.1.2.3'",
                           "Configuration status: 3", "Configuration status: 4", "Configuration status: 5",
                           "Sucessfully auto-configured stream", "New receiver stream was successfully activated"}) {
    EXPECT_TRUE(Logged(line)) << line;
  }
}

TEST_F(VextroAutoConfigure, WaitsQueuedUntilTheDeviceKnowsTheSession) {
  StartProxy();
  QueueReceiver();
  device->setSessions({Session("Mic 2"), Session("Mic 1", 0), Session("Mic 1", 1)});
  proxy->RunRefreshCycle();
  proxy->RunRefreshCycle();
  EXPECT_EQ(Requests("/sessions.htm").size(), 2U);
  EXPECT_TRUE(Requests("/connectsap.htm").empty());
  EXPECT_EQ(proxy->GetPendingAutoConfigure().size(), 1U);
  // No session count at all: nothing to match.
  device->setSessionsRaw({});
  proxy->RunRefreshCycle();
  EXPECT_TRUE(Logged("WARNING: Can't find configuration value for parameter: S_NUM"));
  EXPECT_TRUE(Requests("/connectsap.htm").empty());
  EXPECT_EQ(proxy->GetPendingAutoConfigure().size(), 1U);
  // A failing sessions page keeps it queued too.
  device->setFault("/sessions.htm", StatusFault(500));
  proxy->RunRefreshCycle();
  EXPECT_TRUE(Logged("ERROR: Failed to fetch sessions from device: Response returned with status code: 500"));
  EXPECT_EQ(proxy->GetPendingAutoConfigure().size(), 1U);
  device->clearFaults();
  device->setSessions({Session("Mic 1")});
  proxy->RunRefreshCycle();
  EXPECT_EQ(Requests("/connectsap.htm").size(), 1U);
  EXPECT_TRUE(proxy->GetPendingAutoConfigure().empty());
  EXPECT_EQ(device->config().at(std::string(kR1) + "_ENABLE"), "1");
}

TEST_F(VextroAutoConfigure, BadSessionEntriesAreLoggedAndSkipped) {
  StartProxy();
  QueueReceiver();
  device->setSessionsRaw({{"S_NUM", "6"},
                          {"S_1", "Mic%201#o#1#s#2"},
                          {"S_2", "Mic%201#o#1#s#2#0#7"},
                          {"S_3", "Mic%201#o#x#s#2#0"},
                          {"S_4", "Mic%201#o#1#s#99999999999#0"},
                          {"S_5", "Mic%201#o%2Bp#70000#src#+2junk#1"}});
  device->setConnectScript({5});
  proxy->RunRefreshCycle();
  for (const char* line : {"ERROR: Unexpected session data (too few segments): 'Mic%201#o#1#s#2'",
                           "ERROR: Unexpected session data (too few segments): 'Mic%201#o#1#s#2#0#7'",
                           "ERROR: Unexpected session data (invalid stoi argument): 'Mic%201#o#x#s#2#0'",
                           "ERROR: Unexpected session data (stoi argument out of range): 'Mic%201#o#1#s#99999999999#0'",
                           "WARNING: Can't find configuration value for parameter: S_6",
                           "ERROR: Unexpected session data (too few segments): ''"}) {
    EXPECT_TRUE(Logged(line)) << line;
  }
  const auto connects = Requests("/connectsap.htm");
  ASSERT_EQ(connects.size(), 1U);
  const WireParameters expected = {{"CONNECT_SAP_PARAM_STREAM_HASH", "4464"},
                                   {"CONNECT_SAP_PARAM_STREAM_ID", "0"},
                                   {"CONNECT_SAP_PARAM_STREAM_ISPHY2", "1"},
                                   {"CONNECT_SAP_PARAM_STREAM_NAME", "Mic%201"},
                                   {"CONNECT_SAP_PARAM_STREAM_ORGINATING", "o%2Bp"},
                                   {"CONNECT_SAP_PARAM_STREAM_ORGINATING_SOURCE", "src"}};
  EXPECT_EQ(connects[0].parameters, expected);
  // The session was seen on the second port: its status list is the one polled.
  EXPECT_EQ(device->statistics().at("STATISTIC_PARAM_AUDIO_CLIENT_STREAM_STATUS_PHY2").substr(0, 2), "5#");
  EXPECT_TRUE(Logged("New receiver stream was successfully activated"));
}

TEST_F(VextroAutoConfigure, AFailedConnectionIsReportedAndDropped) {
  StartProxy();
  QueueReceiver();
  device->setSessions({Session("Mic 1")});
  device->setConnectScript({2, 6}, 8192);
  proxy->RunRefreshCycle();
  EXPECT_TRUE(Logged("ERROR: auto-configuration failed with error: 8192"));
  EXPECT_TRUE(proxy->GetPendingAutoConfigure().empty());
  EXPECT_TRUE(Saves().empty());
  EXPECT_EQ(device->config().at(std::string(kR1) + "_ENABLE"), "0");
  // The device keeps the failure in its status lists, which the device state shows.
  const Json state = State();
  EXPECT_EQ(state["Status"]["Message"], "ERROR");
  EXPECT_EQ(state["Status"]["Errors"]["AUDIO_CLIENT_STREAM_1_STATUS_PHY1"],
            "Input Stream 1 Error: SAP: SDP - Entry not found (Port 1)");
  // Never retried.
  device->clearRequests();
  proxy->RunRefreshCycle();
  EXPECT_TRUE(Requests("/sessions.htm").empty());
}

TEST_F(VextroAutoConfigure, UnexpectedStatusesEndTheSetUp) {
  StartProxy();
  QueueReceiver();
  device->setSessions({Session("Mic 1")});
  device->setConnectScript({7});
  proxy->RunRefreshCycle();
  EXPECT_TRUE(Logged("ERROR: Unexpected stream status code:7"));
  EXPECT_TRUE(proxy->GetPendingAutoConfigure().empty());
}

TEST_F(VextroAutoConfigure, AStatusListTooShortForTheSlotEndsTheSetUp) {
  device->setConfig(std::string(kR1) + "_ENABLE", "1");
  StartProxy();
  QueueReceiver();
  ASSERT_EQ(proxy->GetPendingAutoConfigure().count(1), 1U);
  device->setConnectScript({});
  device->setStatistic("STATISTIC_PARAM_AUDIO_CLIENT_STREAM_STATUS_PHY1", "5");
  device->setSessions({Session("Mic 1")});
  proxy->RunRefreshCycle();
  EXPECT_TRUE(Logged("ERROR: Unexpected stream status:5\n"));
  EXPECT_TRUE(proxy->GetPendingAutoConfigure().empty());
  EXPECT_TRUE(Saves().empty());
  // Long enough status and error lists for slot 1.
  QueueReceiver();
  device->setStatistic("STATISTIC_PARAM_AUDIO_CLIENT_STREAM_STATUS_PHY1", "0#5");
  device->setStatistic("STATISTIC_PARAM_AUDIO_CLIENT_STREAM_ERROR_STATUS_PHY1", "0#0");
  proxy->RunRefreshCycle();
  EXPECT_TRUE(Logged("New receiver stream was successfully activated"));
  EXPECT_EQ(device->config().at("CONFIG_PARAM_AUDIO_CLIENT_STREAM_2_ENABLE"), "1");
}

TEST_F(VextroAutoConfigure, GivesUpAfterTheLimitOnAMonotonicClock) {
  StartProxy();
  QueueReceiver();
  device->setSessions({Session("Mic 1")});
  device->setConnectScript({3});  // stays connecting
  const auto started = std::chrono::steady_clock::now();
  proxy->RunRefreshCycle();
  const auto took = std::chrono::steady_clock::now() - started;
  EXPECT_TRUE(Logged("ERROR: timeout waiting for auto-configured stream status"));
  EXPECT_TRUE(proxy->GetPendingAutoConfigure().empty());
  const auto limit = Timings().autoConfigureLimit;
  EXPECT_GE(took, limit);
  EXPECT_LT(took, limit + 1000ms);
  // One poll every poll period (plus the request), then the check that ends it.
  const std::size_t polls = Requests("/statistic.htm").size() - 1;
  EXPECT_GE(polls, 5U);
  EXPECT_LE(polls, static_cast<std::size_t>(limit / Timings().autoConfigurePoll) + 1);
}

TEST_F(VextroAutoConfigure, FailedRequestsEndTheSetUp) {
  StartProxy();
  for (const char* page : {"/connectsap.htm", "/statistic.htm", "/save.htm"}) {
    QueueReceiver();
    device->setSessions({Session("Mic 1")});
    device->setConnectScript({5});
    device->setFault(page, StatusFault(500));
    proxy->RunRefreshCycle();
    EXPECT_TRUE(Logged("ERROR: auto-configuring stream failed: Response returned with status code: 500")) << page;
    EXPECT_TRUE(proxy->GetPendingAutoConfigure().empty()) << page;
    EXPECT_EQ(device->config().at(std::string(kR1) + "_ENABLE"), "0") << page;
    device->clearFaults();
    proxy->RunRefreshCycle();
  }
}

}  // namespace
}  // namespace Vextro
