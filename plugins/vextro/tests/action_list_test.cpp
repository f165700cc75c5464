// The action dispatcher: parsing, action names, the checks on "Data", malformed elements and the
// single change computation after the list.
#include <gtest/gtest.h>

#include "plugins/vextro/tests/ActionFixture.h"

namespace Vextro {
namespace {

constexpr const char* kS1Enable = "CONFIG_PARAM_AUDIO_SERVER_STREAM_1_ENABLE";
constexpr const char* kOneStreamer =
    R"({"Path":"Actions.CreateStreamer","Data":{"StreamName":"S","Mapping":[{"IOGroupId":0,"InputId":0}]}})";

class VextroActionList : public vextro_test::ActionTest {};

TEST_F(VextroActionList, TextThatIsNotJsonTouchesNothing) {
  StartProxy();
  EXPECT_EQ(Apply("abc"), -1);
  EXPECT_TRUE(Logged("Error: failed to parse actionList JSON: [json.exception.parse_error"));
  EXPECT_EQ(Apply(""), -1);
  EXPECT_EQ(Apply("[{\"Path\":"), -1);
  // Valid JSON, but too deep to be an action list or to be logged safely.
  log.clear();
  EXPECT_EQ(Apply(std::string(100000, '[') + std::string(100000, ']')), -1);
  EXPECT_TRUE(Logged("Error: failed to parse actionList JSON: document nested deeper than 128 levels"));
  EXPECT_EQ(Apply(std::string(100, '[') + std::string(100, ']')), -1);
  EXPECT_TRUE(Logged("Error: invalid action element: [[[[[[[[[["));
  EXPECT_TRUE(device->requests().empty());
  EXPECT_TRUE(inbox.Texts().empty());
}

TEST_F(VextroActionList, AnEmptyListIsSilent) {
  StartProxy();
  EXPECT_EQ(Apply("[]"), 0);
  EXPECT_EQ(log.text(), "");
  EXPECT_TRUE(device->requests().empty());
}

TEST_F(VextroActionList, ASingleObjectIsWrapped) {
  StartProxy();
  EXPECT_EQ(Apply(R"({"Path":"Actions.SetSampleRate","Data":{"SampleRate":48000}})"), 0);
  EXPECT_TRUE(Logged("Error: passed actionList is not an array. Converting..."));
  EXPECT_EQ(Saves().size(), 1U);
  // Any other value is wrapped too, and then is no action element.
  EXPECT_EQ(Apply("5"), -1);
  EXPECT_TRUE(Logged("Error: invalid action element: 5"));
}

TEST_F(VextroActionList, PathsAreMatchedBySubstringInAFixedOrder) {
  StartProxy();
  log.clear();
  EXPECT_EQ(Apply(R"([{"Path":"Actions.Reboot","Data":{}},{"Path":7,"Data":{}}])"), 0);
  EXPECT_TRUE(Logged(R"(Warning: Unknown or unexpected action: {"Data":{},"Path":"Actions.Reboot"})"));
  EXPECT_TRUE(Logged(R"(Warning: Unknown or unexpected action: {"Data":{},"Path":7})"));
  // Both names present: the create is tried first. A JSONPath prefix does not matter.
  EXPECT_EQ(Apply(R"([{"Path":"$.Devices[?(@.Id==7)].Actions.DeleteStreamer/Actions.CreateStreamer",)"
                  R"("Data":{"Id":0,"StreamName":"S","Mapping":[{"IOGroupId":0,"InputId":0}]}}])"),
            0);
  EXPECT_TRUE(Logged(">> Creating new streamer: 'S'"));
  EXPECT_FALSE(Logged(">> Deleting streamer"));
  // A non-string Path is matched through its JSON text.
  EXPECT_EQ(Apply(R"([{"Path":["Actions.DeleteStreamer"],"Data":{"Id":0}}])"), 0);
  EXPECT_TRUE(Logged(">> Deleting streamer with id: 0"));
}

TEST_F(VextroActionList, DataThatFailsItsCheckIsPassedOverSilently) {
  StartProxy();
  for (const char* list : {
           R"([{"Path":"Actions.DeleteStreamer","Data":{"Id":"1"}}])",
           R"([{"Path":"Actions.DeleteStreamer","Data":{"Id":1.0}}])",
           R"([{"Path":"Actions.DeleteStreamer","Data":{"Id":18446744073709551615}}])",
           R"([{"Path":"Actions.DeleteReceiver","Data":[1]}])",
           R"([{"Path":"Actions.DeleteReceiver","Data":{}}])",
           R"([{"Path":"Actions.CreateStreamer","Data":{"StreamName":1,"Mapping":[{"IOGroupId":0,"InputId":0}]}}])",
           R"([{"Path":"Actions.CreateStreamer","Data":{"StreamName":"S","Mapping":{"IOGroupId":0,"InputId":0}}}])",
           R"([{"Path":"Actions.CreateStreamer","Data":{"StreamName":"S","Mapping":[{"IOGroupId":0,"InputId":-1}]}}])",
           R"([{"Path":"Actions.CreateStreamer","Data":{"StreamName":"S","Mapping":[]}}])",
           R"([{"Path":"Actions.CreateReceiver","Data":{"StreamName":"R","Mapping":[{"Outputs":[]}]}}])",
           R"([{"Path":"Actions.SetSampleRate","Data":{"SampleRate":true}}])",
       }) {
    EXPECT_EQ(Apply(list), 0) << list;
  }
  EXPECT_EQ(log.text(), "");
  EXPECT_TRUE(device->requests().empty());
  EXPECT_TRUE(inbox.Texts().empty());
}

TEST_F(VextroActionList, IdsBeyondThirtyTwoBitsAreRejectedNotCutDown) {
  device->setConfig(kS1Enable, "1");
  StartProxy();
  EXPECT_EQ(Apply(R"([{"Path":"Actions.DeleteStreamer","Data":{"Id":4294967296}},)"
                  R"({"Path":"Actions.DeleteReceiver","Data":{"Id":-4294967296}},)"
                  R"({"Path":"Actions.DeleteStreamer","Data":{"Id":-1}}])"),
            0);
  EXPECT_TRUE(Logged(">> Deleting streamer with id: 4294967295\n"));
  EXPECT_TRUE(Logged(">> Deleting receiver with id: 4294967295\n"));
  EXPECT_TRUE(Logged("ERROR: invalid streamer index"));
  EXPECT_TRUE(Logged("ERROR: invalid receiver index"));
  EXPECT_TRUE(device->requests().empty());
  EXPECT_EQ(device->config().at(kS1Enable), "1");
  // A channel id beyond 32 bits fails the action's check: nothing is written, and the log says why.
  EXPECT_EQ(Apply(R"([{"Path":"Actions.CreateStreamer","Data":{"StreamName":"S","Mapping":[)"
                  R"({"IOGroupId":0,"InputId":0},{"IOGroupId":0,"InputId":4294967296}]}}])"),
            0);
  EXPECT_EQ(Apply(R"([{"Path":"Actions.CreateReceiver","Data":{"StreamName":"R","Mapping":[)"
                  R"({"Id":0,"Outputs":[{"IOGroupId":0,"OutputId":18446744073709551615}]}]}}])"),
            0);
  EXPECT_TRUE(device->requests().empty());
  EXPECT_TRUE(proxy->GetPendingAutoConfigure().empty());
  EXPECT_TRUE(Logged(R"(Error: InputId out of range in mapping element: {"IOGroupId":0,"InputId":4294967296})"));
  EXPECT_TRUE(
      Logged(R"(Error: OutputId out of range in mapping element: {"IOGroupId":0,"OutputId":18446744073709551615})"));
  // An IO group id of 2^32 is not group 0: that element is passed over, the others still count.
  EXPECT_EQ(Apply(R"([{"Path":"Actions.CreateStreamer","Data":{"StreamName":"S","Mapping":[)"
                  R"({"IOGroupId":4294967296,"InputId":0},{"IOGroupId":0,"InputId":1}]}}])"),
            0);
  ASSERT_EQ(Saves().size(), 2U);
  EXPECT_EQ(Saves()[0][7], (std::pair<std::string, std::string>{"CONFIG_PARAM_AUDIO_SERVER_STREAM_2_START_CH", "1"}));
}

TEST_F(VextroActionList, TwoActionsGiveOneChangeComputation) {
  StartProxy();
  EXPECT_EQ(Apply(std::string("[") + kOneStreamer + "," + kOneStreamer + "]"), 0);
  ASSERT_EQ(inbox.Texts().size(), 1U);
  const Json records = Json::parse(inbox.Texts()[0]);
  ASSERT_EQ(records.size(), 2U);
  EXPECT_EQ(records[0]["Path"], "$.Devices[?(@.Id==7)].Streamers[?(@.Id==0)]");
  EXPECT_EQ(records[1]["Path"], "$.Devices[?(@.Id==7)].Streamers[?(@.Id==1)]");
  EXPECT_EQ(Saves().size(), 4U);
}

TEST_F(VextroActionList, AMalformedElementStopsTheListButReportsWhatRan) {
  device->setConfig(kS1Enable, "1");
  StartProxy();
  for (const char* bad : {R"({"Data":{}})", R"({"Path":"Actions.SetSampleRate"})", "[]", "null"}) {
    device->clearRequests();
    device->setConfig(kS1Enable, "1");
    proxy->RunRefreshCycle();
    const std::size_t texts = inbox.Texts().size();
    log.clear();
    EXPECT_EQ(Apply(std::string(R"([{"Path":"Actions.DeleteStreamer","Data":{"Id":0}},)") + bad + "," + kOneStreamer +
                    "]"),
              -1)
        << bad;
    EXPECT_TRUE(Logged(std::string("Error: invalid action element: ") + bad)) << bad;
    EXPECT_FALSE(Logged(">> Creating new streamer")) << bad;
    // The delete before it was written and is reported.
    EXPECT_EQ(Requests("/save.htm").size(), 2U) << bad;
    ASSERT_EQ(inbox.Texts().size(), texts + 1) << bad;
    EXPECT_EQ(Json::parse(inbox.Texts().back())[0]["Operation"], 2) << bad;
  }
}

}  // namespace
}  // namespace Vextro
