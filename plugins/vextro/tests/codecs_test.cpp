// Value codecs, the JSON helpers and the plug-in log file.
#include <clocale>
#include <filesystem>
#include <optional>
#include <regex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "plugins/vextro/src/Codecs.h"
#include "plugins/vextro/src/JsonCompat.h"
#include "plugins/vextro/tests/TestSupport.h"
#include "testing/stdout_capture.h"

namespace Vextro {
namespace {

using vextro_test::ScopedPluginLog;

TEST(VextroCodecs, UrlDecodeAndEncode) {
  EXPECT_EQ(UrlDecode("a%2Fb"), "a/b");
  EXPECT_EQ(UrlDecode("100%"), "100%");
  EXPECT_EQ(UrlDecode("%G1"), "%G1");
  EXPECT_EQ(UrlDecode("a+b"), "a b");
  EXPECT_EQ(UrlDecode("%e9"), "\xE9");
  EXPECT_EQ(UrlDecode("%4"), "%4");
  EXPECT_EQ(UrlDecode("x%20y"), "x y");
  EXPECT_EQ(UrlEncode("Stream_1 A"), "Stream%5F1%20A");
  EXPECT_EQ(UrlEncode("a.b-c~"), "a.b-c~");
  EXPECT_EQ(UrlEncode("\xE9\r\n"), "%E9%0D%0A");
  EXPECT_EQ(UrlDecode(UrlEncode("any \x01 bytes % + # \xFF")), "any \x01 bytes % + # \xFF");
}

TEST(VextroCodecs, NeedsUrlEncodingFollowsTheNameRules) {
  EXPECT_TRUE(NeedsUrlEncoding("CONFIG_PARAM_AUDIO_CLIENT_STREAM_3_URL"));
  EXPECT_FALSE(NeedsUrlEncoding("CONFIG_PARAM_AUDIO_SERVER_STREAM_3_URL"));
  EXPECT_TRUE(NeedsUrlEncoding("CONNECT_SAP_PARAM_STREAM_ID"));
  EXPECT_TRUE(NeedsUrlEncoding("X_DEVICE_NAME"));
  EXPECT_TRUE(NeedsUrlEncoding("CONFIG_PARAM_AUDIO_SERVER_STREAM_1_STREAM_NAME"));
  EXPECT_FALSE(NeedsUrlEncoding("DEVICE_NAME_X"));
  EXPECT_FALSE(NeedsUrlEncoding(""));
}

TEST(VextroCodecs, TypedLookupsLogAndFallBack) {
  ScopedPluginLog log;
  const ParameterMap map = {{"A", "12abc"},       {"B", "abc"},        {"C", "-1"},         {"D", " 42"},
                            {"E", "99999999999"}, {"F", "4294967296"}, {"G", "-2147483648"}};
  EXPECT_EQ(GetIntParameter(map, "A", 7), 12);
  EXPECT_EQ(GetIntParameter(map, "B", 7), 7);
  EXPECT_TRUE(
      log.contains("WARNING: Caught 'invalid stoi argument' while trying to conver configuration value 'abc' "
                   "of parameter 'B'"));
  EXPECT_EQ(GetIntParameter(map, "E", 7), 7);
  EXPECT_TRUE(log.contains("'stoi argument out of range' while trying to conver configuration value '99999999999'"));
  EXPECT_EQ(GetIntParameter(map, "G", 7), INT32_MIN);
  EXPECT_EQ(GetIntParameter(map, "D", 7), 42);
  EXPECT_EQ(GetIntParameter(map, "missing", 7), 7);
  EXPECT_TRUE(log.contains("WARNING: Can't find configuration value for parameter: missing"));
  EXPECT_EQ(GetUIntParameter(map, "C", 1), 4294967295U);
  EXPECT_EQ(GetUIntParameter(map, "F", 1), 1U);
  EXPECT_TRUE(
      log.contains("WARNING: Caught 'stoul argument out of range' while trying to convert configuration value "
                   "'4294967296' of parameter 'F'"));
  EXPECT_EQ(GetUIntParameter(map, "B", 3), 3U);
  EXPECT_TRUE(log.contains("'invalid stoul argument'"));
  EXPECT_EQ(GetStringParameter(map, "B", "d"), "abc");
  EXPECT_EQ(GetStringParameter(map, "nope", "d"), "d");
  EXPECT_EQ(ParseUInt("17;x", 0), 17U);
  EXPECT_EQ(ParseUInt("x", 5), 5U);
  EXPECT_TRUE(log.contains("ERROR: failed to convert string: 'x' to a uint number: invalid stoul argument"));
  EXPECT_EQ(AtoiLike("99999999999"), INT32_MAX);
  EXPECT_EQ(AtoiLike("-7x"), -7);
  EXPECT_EQ(AtoiLike(""), 0);
  EXPECT_EQ(AtollLike("2305843009213693952"), int64_t{1} << 61);
  EXPECT_EQ(AtollLike("99999999999999999999999"), INT64_MAX);
}

TEST(VextroCodecs, StreamCodecsRatesAndNetmasks) {
  ScopedPluginLog log;
  EXPECT_EQ(StreamCodecFromText(" am824 "), 3);
  EXPECT_EQ(StreamCodecFromText("L16"), 0);
  EXPECT_EQ(StreamCodecFromText(" l20"), 1);
  EXPECT_TRUE(log.contains("ERROR: unexpected stream codec value: ' l20'"));
  EXPECT_EQ(StreamFormatToText(0), "L16");
  EXPECT_EQ(StreamFormatToText(3), "AM824");
  EXPECT_EQ(StreamFormatToText(static_cast<uint32_t>(-1)), "L24");
  EXPECT_TRUE(log.contains("ERROR: unexpected stream format value: '4294967295'"));
  EXPECT_EQ(SampleRateFromBits(0, 0, 0), 44100);
  EXPECT_EQ(SampleRateFromBits(0, 0, 1), 48000);
  EXPECT_EQ(SampleRateFromBits(0, 1, 0), 88200);
  EXPECT_EQ(SampleRateFromBits(0, 1, 1), 96000);
  EXPECT_EQ(SampleRateFromBits(1, 0, 0), 176400);
  EXPECT_EQ(SampleRateFromBits(1, 0, 1), 192000);
  EXPECT_EQ(SampleRateFromBits(1, 1, 0), 44100);
  EXPECT_TRUE(log.contains("ERROR: unexpected sample rate bit values: '1,1,0'"));
  EXPECT_EQ(DefaultNetmaskForAddress("10.1.2.3"), "255.0.0.0");
  EXPECT_EQ(DefaultNetmaskForAddress("172.16.0.1"), "255.255.0.0");
  EXPECT_EQ(DefaultNetmaskForAddress("192.168.1.10"), "255.255.255.0");
  EXPECT_EQ(DefaultNetmaskForAddress("224.0.0.1"), "255.255.255.255");
  EXPECT_EQ(DefaultNetmaskForAddress("not an address"), "");
  EXPECT_TRUE(log.contains("ERROR: failed to get subnet mask for IP: not an address - "));
}

TEST(VextroJson, ConversionsAndSafeDump) {
  EXPECT_EQ(DumpCompact(Json{{"b", 1}, {"a", "x"}}), R"({"a":"x","b":1})");
  EXPECT_EQ(DumpCompact(Json("Sim\xE9")), "\"Sim\xEF\xBF\xBD\"");
  EXPECT_EQ(AsText(Json(1234)), "1234");
  EXPECT_EQ(AsText(Json("x")), "x");
  EXPECT_EQ(AsUInt32Like(Json(65616)), 65616U);
  EXPECT_EQ(AsUInt32Like(Json(80.9)), 80U);
  EXPECT_EQ(AsUInt32Like(Json(-1)), 4294967295U);
  EXPECT_EQ(AsUInt32Like(Json(true)), 1U);
  EXPECT_THROW((void)AsUInt32Like(Json("80")), std::runtime_error);
  EXPECT_THROW((void)AsUInt32Like(Json(1e300)), std::runtime_error);
  EXPECT_THROW((void)AsInt32Like(Json::object()), std::runtime_error);
  EXPECT_TRUE(IsUnsignedInteger(Json::parse("-0")));
  EXPECT_FALSE(IsUnsignedInteger(Json::parse("-1")));
  EXPECT_FALSE(IsUnsignedInteger(Json::parse("48000.0")));
  EXPECT_TRUE(IsSignedInteger(Json::parse("-1")));
  EXPECT_FALSE(IsSignedInteger(Json::parse("18446744073709551615")));
}

TEST(VextroLog, FileNamesSeparatorAndLocaleFreeTimestamp) {
  ScopedPluginLog log;
  const std::string folder = log.folder() + "/Vextro Technologies/";
  EXPECT_EQ(CurrentLogPath(), folder + "vextro");
  EXPECT_EQ(log.text(), "\n" + std::string(80, '*') + "\n");
  std::setlocale(LC_ALL, "en_US.UTF-8");  // a Qt host does this; the pattern must not change
  Log("hello ", 42);
  std::setlocale(LC_ALL, "C");
  const std::string text = log.text();
  EXPECT_TRUE(std::regex_search(text, std::regex(R"(\n\d{4}-\d\d-\d\d\.\d\d:\d\d:\d\d:\thello 42\n$)"))) << text;
  ReopenLog(kPluginLogName);  // same name: a second separator block
  EXPECT_EQ(log.text(), text + "\n" + std::string(80, '*') + "\n");
  ReopenLog(kUninitLogName);
  EXPECT_TRUE(std::filesystem::exists(folder + kUninitLogName));
}

// No per-user folder: no log folder appears in the current folder, and one line says so.
TEST(VextroLog, WithoutAPerUserFolderNothingIsWritten) {
  testing_support::TempDir current;
  const std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(current.path());
  {
    testing_support::ScopedEnv appData("APPDATA", std::nullopt);
    testing_support::ScopedEnv config("XDG_CONFIG_HOME", std::nullopt);
    testing_support::ScopedEnv home("HOME", std::nullopt);
    testing_support::StdoutCapture capture;
    ReopenLog(kUninitLogName);
    Log("lost ", 1);
    ReopenLog(kPluginLogName);
    Log("lost ", 2);
    ApplyLogSizeLimit();
    EXPECT_EQ(CurrentLogPath(), "");
    const std::string said = capture.take();
    EXPECT_EQ(said, "No per-user folder (APPDATA, XDG_CONFIG_HOME, HOME): the plug-in log is not written to a file\n");
  }
  std::filesystem::current_path(previous);
  EXPECT_TRUE(std::filesystem::is_empty(current.path()));
  ReopenLog(kPluginLogName);
}

TEST(VextroLog, ShrinksOnlyFilesAboveFourMebibytes) {
  ScopedPluginLog log;
  const std::string folder = log.folder() + "/Vextro Technologies/";
  std::string big(0x400001, 'a');
  big[big.size() - 0x100000] = 'T';  // first byte of the kept tail
  testing_support::writeFile(folder + "big", big);
  testing_support::writeFile(folder + "exact", std::string(0x400000, 'b'));
  ReopenLog("big");
  const std::string shrunk = testing_support::readFile(folder + "big");
  ASSERT_EQ(shrunk.size(), 0x100000U + 82U);
  EXPECT_EQ(shrunk[0], 'T');
  EXPECT_EQ(shrunk.substr(0x100000), "\n" + std::string(80, '*') + "\n");
  ReopenLog("exact");
  EXPECT_EQ(testing_support::readFile(folder + "exact").size(), 0x400000U + 82U);
}

TEST(VextroLog, ConcurrentLinesStayWholeWhileReopening) {
  ScopedPluginLog log;
  std::vector<std::thread> writers;
  for (int t = 0; t < 8; ++t) {
    writers.emplace_back([t] {
      for (int i = 0; i < 200; ++i) Log("writer ", t, " line ", i, " end");
    });
  }
  std::thread reopener([] {
    for (int i = 0; i < 50; ++i) ReopenLog(kPluginLogName);
  });
  for (auto& writer : writers) writer.join();
  reopener.join();
  const std::regex line(R"(^(|\*{80}|\d{4}-\d\d-\d\d\.\d\d:\d\d:\d\d:\twriter \d line \d+ end)$)");
  std::istringstream lines(log.text());
  std::string each;
  int count = 0;
  while (std::getline(lines, each)) {
    EXPECT_TRUE(std::regex_match(each, line)) << each;
    count += each.find("writer") != std::string::npos ? 1 : 0;
  }
  EXPECT_EQ(count, 1600);
}

}  // namespace
}  // namespace Vextro
