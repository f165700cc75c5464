// plugin-host vextro with action lists, run as the reviewer runs it: the printed request:,
// change: and result: lines and their order.
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "testing/run_command.h"
#include "testing/temp_dir.h"

namespace {

using Json = nlohmann::json;

// The host's output lines for these arguments (run through the shell, stderr dropped).
std::vector<std::string> RunHost(const std::vector<std::string>& arguments) {
  using testing_support::shellWord;
  std::string command = shellWord(PLUGIN_HOST_PATH) + " vextro --plugin " + shellWord(VEXTRO_PLUGIN_PATH) + " --sim";
  for (const std::string& argument : arguments) command += " " + shellWord(argument);
  return testing_support::splitLines(testing_support::runCommand(command + " 2>/dev/null").output);
}

bool StartsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

// Index of the first line at or after `from` that starts with `prefix` and holds `part`; -1 if none.
int Find(const std::vector<std::string>& lines, const std::string& prefix, const std::string& part, int from = 0) {
  for (int i = from; i < static_cast<int>(lines.size()); ++i) {
    if (StartsWith(lines[i], prefix) && lines[i].find(part) != std::string::npos) return i;
  }
  return -1;
}

// The action entry's result lines, in order.
std::vector<std::string> ActionResults(const std::vector<std::string>& lines) {
  std::vector<std::string> results;
  for (const std::string& line : lines) {
    if (StartsWith(line, R"(result: {"Entry":"Action")")) results.push_back(line);
  }
  return results;
}

Json Payload(const std::string& line) { return Json::parse(line.substr(line.find(": ") + 2)); }

const char* const kActionResultOk = R"(result: {"Entry":"Action","Result":0})";
const char* const kActionResultFailed = R"(result: {"Entry":"Action","Result":-1})";

class VextroHost : public ::testing::Test {
 protected:
  testing_support::TempDir appData;
  testing_support::ScopedEnv appDataEnv{"APPDATA", appData.path()};
  testing_support::ScopedEnv timings{"VEXTRO_TIMINGS", std::string("poll=20,limit=500,connect=500,request=1000")};
};

TEST_F(VextroHost, CreateStreamerPrintsBothWritesAndTheNewStreamerBeforeItsResult) {
  const auto lines = RunHost({"--action", R"([{"Path":"Actions.CreateStreamer","Data":{"StreamName":"S1",)"
                                          R"("Mapping":[{"IOGroupId":0,"InputId":1},{"IOGroupId":0,"InputId":0}]}}])"});
  const int firstState = Find(lines, "state: ", "");
  ASSERT_GE(firstState, 0);
  const int settings = Find(lines, "request: ", R"("Path":"/save.htm")", firstState);
  ASSERT_GE(settings, 0);
  const Json parameters = Payload(lines[settings])["Parameters"];
  ASSERT_EQ(parameters.size(), 9U);
  for (std::size_t i = 1; i < parameters.size(); ++i) {
    EXPECT_LT(parameters[i - 1][0].get<std::string>(), parameters[i][0].get<std::string>());
  }
  EXPECT_EQ(parameters[8], Json::array({"CONFIG_PARAM_AUDIO_SERVER_STREAM_1_STREAM_NAME", "S1"}));
  const int enable = Find(lines, "request: ", R"("Path":"/save.htm")", settings + 1);
  ASSERT_EQ(enable, settings + 1);
  EXPECT_EQ(Payload(lines[enable])["Parameters"],
            Json::parse(R"([["CONFIG_PARAM_AUDIO_SERVER_STREAM_1_ENABLE","1"]])"));
  const int change = Find(lines, "change: ", "Streamers[?(@.Id==0)]", enable);
  ASSERT_EQ(change, enable + 1);
  EXPECT_EQ(Payload(lines[change])[0]["Operation"], 0);
  EXPECT_EQ(lines.at(change + 1), kActionResultOk);
}

TEST_F(VextroHost, SampleRateReachesTheStateAtTheNextCycle) {
  const auto lines = RunHost({"--period-ms", "200", "--cycles", "1", "--action",
                              R"([{"Path":"Actions.SetSampleRate","Data":{"SampleRate":96000}}])"});
  const int write = Find(lines, "request: ", R"("Path":"/save.htm")");
  ASSERT_GE(write, 0);
  EXPECT_EQ(Payload(lines[write])["Parameters"],
            Json::parse(R"([["CONFIG_PARAM_AUDIO_SERVER_SAMPLE_FREQ","3"],)"
                        R"(["CONFIG_SHARED_AUDIO_CONTROL_AUDIO_INTERFACE_SIZE","128"],)"
                        R"(["SELVA_CONFIG_PARAM_SETTING","335544320;7"]])"));
  const int result = Find(lines, kActionResultOk, "", write);
  ASSERT_GT(result, write);
  EXPECT_GT(Find(lines, "change: ", "", write), result);  // no record inside the call
  const int change = Find(lines, "change: ", R"("SampleRate":96000)", result);
  ASSERT_GE(change, 0);
  EXPECT_NE(lines[change].find(R"("Path":"$.Devices[?(@.Id==7)]"})"), std::string::npos);
}

TEST_F(VextroHost, CreatedReceiverIsConnectedToItsAnnouncedSession) {
  const auto lines = RunHost({"--period-ms", "200", "--cycles", "1", "--session", "Mic 1", "--action",
                              R"([{"Path":"Actions.CreateReceiver","Data":{"StreamName":"Mic 1",)"
                              R"("Mapping":[{"Outputs":[{"IOGroupId":0,"OutputId":2}]}]}}])"});
  const int connect = Find(lines, "request: ", R"("Path":"/connectsap.htm")");
  ASSERT_GE(connect, 0);
  EXPECT_NE(lines[connect].find(R"(["CONNECT_SAP_PARAM_STREAM_NAME","Mic%201"])"), std::string::npos);
  const int enable = Find(lines, "request: ", "CONFIG_PARAM_AUDIO_CLIENT_STREAM_1_ENABLE", connect);
  ASSERT_GE(enable, 0);
  const int change = Find(lines, "change: ", "Receivers[?(@.Id==0)]", enable);
  ASSERT_GE(change, 0);
  const Json record = Payload(lines[change])[0];
  EXPECT_EQ(record["Operation"], 0);
  EXPECT_EQ(record["Data"]["Status"]["State"], 3);
}

TEST_F(VextroHost, BadActionListsGiveTheirResultAndWriteNothing) {
  const auto lines = RunHost({"--action", "abc", "--action", R"([5])", "--action",
                              R"([{"Path":"Actions.DeleteStreamer","Data":{"Id":4294967296}}])", "--action",
                              R"([{"Path":"Actions.CreateStreamer","Data":{"StreamName":"S",)"
                              R"("Mapping":[{"IOGroupId":0,"InputId":0}],)"
                              R"("StreamDescription":{"Address":"239.1.1.1\r\nCONFIG_PARAM_X: 1"}}}])"});
  EXPECT_EQ(ActionResults(lines),
            (std::vector<std::string>{kActionResultFailed, kActionResultFailed, kActionResultOk, kActionResultOk}));
  EXPECT_EQ(Find(lines, "request: ", "/save.htm"), -1);
  const std::string log = testing_support::readFile(appData.path() + "/Vextro Technologies/vextro");
  for (const char* part :
       {"Error: failed to parse actionList JSON: ", "Error: invalid action element: 5", "ERROR: invalid streamer index",
        "ERROR: Error while setting new device state in createStreamer: refused to send parameter"}) {
    EXPECT_NE(log.find(part), std::string::npos) << part;
  }
}

// The plug-in passes over a wrongly shaped action without a console line; the host says why, and
// the results stay what the plug-in returns.
TEST_F(VextroHost, WronglyShapedActionsGetAWarningLineBeforeTheirResult) {
  const auto lines = RunHost({"--action", R"({"SetSampleRate":{"SampleRate":96000}})", "--action",
                              R"([{"Path":"Actions.CreateReceiver","Data":{"StreamName":"Mic",)"
                              R"("Mapping":[{"IOGroupId":0,"OutputId":1}]}}])",
                              "--action",
                              R"([{"Path":"Actions.CreateStreamer","Data":{"StreamName":"S",)"
                              R"("Mapping":[{"Id":0,"Outputs":[{"IOGroupId":0,"OutputId":0}]}]}}])",
                              "--action",
                              R"([{"Path":"Actions.CreateReceiver","Data":{"StreamName":"Mic",)"
                              R"("Mapping":[{"Id":0,"Outputs":[{"IOGroupId":0,"OutputId":1}]}]}}])"});
  ASSERT_GE(Find(lines, "log: ", "/Vextro Technologies/vextro"), 0);
  const int notAnAction = Find(lines, "warning: ", R"(action 1 is not {"Path":"Actions.<Name>","Data":{...}})");
  ASSERT_GE(notAnAction, 0);
  EXPECT_EQ(lines.at(notAnAction + 1), kActionResultFailed);
  EXPECT_GE(Find(lines, "warning: ", "the plug-in refused the action list; its reason is in ", notAnAction), 0);
  const int flat = Find(lines, "warning: ", R"(action 1 Mapping[0] is not {"Id":N,"Outputs":)", notAnAction + 1);
  ASSERT_GE(flat, 0);
  EXPECT_GE(Find(lines, "warning: ", "action 1: the mapping names no channel of IO group 0; nothing is created", flat),
            0);
  EXPECT_GE(Find(lines, "warning: ", "action 1 Mapping[0] is a receiver's mapping; a streamer's is flat", flat), 0);
  // A well-shaped receiver for a stream the simulated device does not announce.
  EXPECT_GE(Find(lines, "warning: ", "the simulated device announces no session 'Mic'; add --session 'Mic'"), 0);
  EXPECT_EQ(ActionResults(lines),
            (std::vector<std::string>{kActionResultFailed, kActionResultOk, kActionResultOk, kActionResultOk}));
  // Only the well-shaped receiver reached the device.
  EXPECT_EQ(Find(lines, "request: ", "AUDIO_SERVER_STREAM"), -1);
  EXPECT_GE(Find(lines, "request: ", "CONFIG_PARAM_AUDIO_CLIENT_STREAM_1_STREAM_NAME"), 0);
}

}  // namespace
