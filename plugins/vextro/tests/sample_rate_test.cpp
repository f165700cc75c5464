// The sample-rate action and the write path it shares with every action (parameter saving).
#include <gtest/gtest.h>

#include "plugins/vextro/tests/ActionFixture.h"

namespace Vextro {
namespace {

using vextro_test::StatusFault;
using vextro_test::WireParameters;

constexpr const char* kSetting = "SELVA_CONFIG_PARAM_SETTING";

std::string SetRateList(const std::string& rate) {
  return R"([{"Path":"Actions.SetSampleRate","Data":{"SampleRate":)" + rate + "}}]";
}

WireParameters RateWrite(const std::string& index, const std::string& size, const std::string& setting) {
  return {{"CONFIG_PARAM_AUDIO_SERVER_SAMPLE_FREQ", index},
          {"CONFIG_SHARED_AUDIO_CONTROL_AUDIO_INTERFACE_SIZE", size},
          {kSetting, setting}};
}

class VextroSampleRate : public vextro_test::ActionTest {};

TEST_F(VextroSampleRate, WritesIndexSizeAndSettingAndTheNextCycleReportsTheRate) {
  StartProxy();  // setting "0;7", 48 kHz
  ASSERT_EQ(Apply(SetRateList("96000")), 0);
  EXPECT_EQ(Saves(), std::vector<WireParameters>{RateWrite("3", "128", "335544320;7")});
  EXPECT_EQ(proxy->GetConfigCache().at(kSetting), "335544320;7");
  EXPECT_TRUE(Logged(">> Applying new sample rate: 96000"));
  EXPECT_TRUE(Logged("Sample rate was successfully applied"));
  // The rate shows in the device's status word, which the action does not read.
  EXPECT_TRUE(inbox.Texts().empty());
  EXPECT_EQ(State()["IOGroups"][0]["Status"]["SampleRate"], 48000);
  proxy->RunRefreshCycle();
  ASSERT_EQ(inbox.Records().size(), 1U);
  const Json record = inbox.Records()[0];
  EXPECT_EQ(record["Path"], "$.Devices[?(@.Id==7)]");
  EXPECT_EQ(record["Operation"], 1);
  EXPECT_EQ(record["Data"]["IOGroups"][0]["Status"]["SampleRate"], 96000);
  EXPECT_EQ(State()["IOGroups"][0]["Status"]["SampleRate"], 96000);
}

TEST_F(VextroSampleRate, OnlyTheRateBitsOfTheSettingChange) {
  // Bits 26..28 set plus bit 0 and bit 31; second number 1.
  device->setConfig(kSetting, std::to_string((7U << 26) | 1U | (1U << 31)) + ";1");
  StartProxy();
  ASSERT_EQ(Apply(SetRateList("44100")), 0);
  ASSERT_EQ(Apply(SetRateList("192000")), 0);
  ASSERT_EQ(Apply(SetRateList("88200")), 0);
  const std::vector<WireParameters> expected = {RateWrite("0", "256", std::to_string(1U | (1U << 31)) + ";1"),
                                                RateWrite("5", "64",
                                                          std::to_string(402653184U | 1U | (1U << 31)) + ";1"),
                                                RateWrite("2", "128",
                                                          std::to_string((1U << 26) | 1U | (1U << 31)) + ";1")};
  EXPECT_EQ(Saves(), expected);
  proxy->RunRefreshCycle();
  EXPECT_EQ(State()["IOGroups"][0]["Status"]["SampleRate"], 88200);
}

TEST_F(VextroSampleRate, UnsupportedRatesAndWrongKindsWriteNothing) {
  StartProxy();
  ASSERT_EQ(Apply(SetRateList("50000")), 0);
  EXPECT_TRUE(Logged("ERROR: unsupported sample rate"));
  // Beyond 32 bits: not cut down to 48000.
  log.clear();
  ASSERT_EQ(Apply(SetRateList(std::to_string((1ULL << 32) + 48000))), 0);
  EXPECT_TRUE(Logged(">> Applying new sample rate: 4294967295"));
  EXPECT_TRUE(Logged("ERROR: unsupported sample rate"));
  // Not an unsigned integer: passed over without a line.
  log.clear();
  for (const char* rate : {"48000.0", "-1", R"("48000")", "4.8e4", "null"}) {
    ASSERT_EQ(Apply(SetRateList(rate)), 0) << rate;
  }
  EXPECT_EQ(log.text(), "");
  EXPECT_TRUE(Saves().empty());
}

TEST_F(VextroSampleRate, LeadingZerosInTheSettingAreStillNumbers) {
  device->setConfig(kSetting, "000000000004294967295;0007");
  StartProxy();
  ASSERT_EQ(Apply(SetRateList("48000")), 0);
  EXPECT_EQ(Saves(), std::vector<WireParameters>{RateWrite("1", "256", std::to_string(~(3U << 26)) + ";7")});
}

TEST_F(VextroSampleRate, AMissingSettingIsWrittenFromTheRateBitsAlone) {
  device->eraseConfig(kSetting);
  StartProxy();
  ASSERT_EQ(Apply(SetRateList("48000")), 0);
  EXPECT_TRUE(Logged("WARNING: Can't find configuration value for parameter: SELVA_CONFIG_PARAM_SETTING"));
  EXPECT_EQ(Saves(), std::vector<WireParameters>{RateWrite("1", "256", "268435456;0")});
  EXPECT_EQ(proxy->GetConfigCache().at(kSetting), "268435456;0");
}

TEST_F(VextroSampleRate, AnUnreadableSettingIsNeverOverwritten) {
  for (const char* setting : {"5", "5;", "0;7;1", "abc;7", "-1;7", "4294967296;0", " 1;2", ""}) {
    device->setConfig(kSetting, setting);
    StartProxy();
    ASSERT_EQ(Apply(SetRateList("48000")), 0);
    EXPECT_TRUE(Logged(std::string("ERROR: unexpected value of SELVA_CONFIG_PARAM_SETTING: '") + setting + "'"))
        << setting;
    EXPECT_TRUE(Saves().empty()) << setting;
    proxy.reset();
  }
  // The rate is still judged: an unsupported one gets its own line after the setting's.
  device->setConfig(kSetting, "abc;7");
  StartProxy();
  ASSERT_EQ(Apply(SetRateList("50000")), 0);
  const std::size_t settingLine = log.text().find("ERROR: unexpected value of SELVA_CONFIG_PARAM_SETTING: 'abc;7'");
  const std::size_t rateLine = log.text().find("ERROR: unsupported sample rate");
  ASSERT_NE(settingLine, std::string::npos);
  ASSERT_NE(rateLine, std::string::npos);
  EXPECT_LT(settingLine, rateLine);
  EXPECT_TRUE(Saves().empty());
}

TEST_F(VextroSampleRate, AFailedWriteLeavesTheCacheAsItWas) {
  StartProxy();
  const ParameterMap before = proxy->GetConfigCache();
  device->setFault("/save.htm", StatusFault(404));
  ASSERT_EQ(Apply(SetRateList("96000")), 0);
  EXPECT_TRUE(
      Logged("ERROR: Error while setting new device state in setSampleRate: "
             "Response returned with status code: 404"));
  EXPECT_EQ(proxy->GetConfigCache(), before);
  EXPECT_EQ(device->config().at(kSetting), "0;7");
}

TEST_F(VextroSampleRate, AnUnknownConfigurationRefusesCreatesButNotDeletes) {
  StartProxy();
  device->setFault("/config.htm", StatusFault(500));
  proxy->RunRefreshCycle();
  ASSERT_EQ(State()["Status"]["Message"], "ERROR");
  const std::size_t changes = inbox.Texts().size();
  device->clearFaults();  // the device is back, but the proxy has not read it yet
  device->clearRequests();
  log.clear();
  ASSERT_EQ(Apply(SetRateList("96000")), 0);
  ASSERT_EQ(Apply(R"([{"Path":"Actions.CreateStreamer",)"
                  R"("Data":{"StreamName":"S","Mapping":[{"IOGroupId":0,"InputId":0}]}},)"
                  R"({"Path":"Actions.CreateReceiver",)"
                  R"("Data":{"StreamName":"R","Mapping":[{"Outputs":[{"IOGroupId":0,"OutputId":0}]}]}}])"),
            0);
  std::size_t refusals = 0;
  for (std::size_t at = log.text().find("ERROR: device configuration unknown"); at != std::string::npos;
       at = log.text().find("ERROR: device configuration unknown", at + 1)) {
    ++refusals;
  }
  EXPECT_EQ(refusals, 3U);
  EXPECT_TRUE(Saves().empty());
  // A delete writes fixed values and needs no knowledge of the slots.
  ASSERT_EQ(Apply(R"([{"Path":"Actions.DeleteStreamer","Data":{"Id":3}}])"), 0);
  EXPECT_EQ(Saves().size(), 2U);
  // The state after the actions stays unreachable: no record pretends the device is fine.
  EXPECT_EQ(State()["Status"]["Message"], "ERROR");
  EXPECT_EQ(inbox.Texts().size(), changes);
  proxy->RunRefreshCycle();
  EXPECT_EQ(State()["Status"]["Message"], "OK");
  ASSERT_EQ(Apply(SetRateList("96000")), 0);
  EXPECT_EQ(Saves().size(), 3U);
}

}  // namespace
}  // namespace Vextro
