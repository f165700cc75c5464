// The plug-in log file while the plug-in runs: what outside text can do to a line, and the size
// rule between opens.
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "plugins/vextro/src/DeviceModels.h"
#include "plugins/vextro/src/PluginLog.h"
#include "plugins/vextro/src/RavennaDeviceProxy.h"
#include "plugins/vextro/tests/TestSupport.h"
#include "testing/temp_dir.h"
#include "testing/vextro_sim/sim_device.h"

namespace Vextro {
namespace {

using vextro_test::ScopedPluginLog;

// The log's lines after the separator, each without its time stamp.
std::vector<std::string> LoggedTexts(const ScopedPluginLog& log) {
  std::vector<std::string> texts;
  const std::string text = log.text();
  std::size_t begin = 0;
  while (begin < text.size()) {
    const std::size_t end = text.find('\n', begin);
    const std::string line = text.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
    const std::size_t tab = line.find(":\t");
    if (tab != std::string::npos) texts.push_back(line.substr(tab + 2));
    begin = end == std::string::npos ? text.size() : end + 1;
  }
  return texts;
}

TEST(VextroPluginLogFile, OutsideTextCannotEndALineOrForgeOne) {
  ScopedPluginLog log;
  log.clear();
  static constexpr char kForged[] = "a\r\n2026-01-01.00:00:00:\tforged\0b";
  static constexpr char kControls[] =
      "\x1b[31m red \x7f \xC2\x9B"
      "2J \xC3\xBC \xE2\x82\xAC \xC3 \xED\xA0\x80 back\\slash tab\t";
  Log("value: ", std::string(kForged, sizeof kForged - 1));
  Log(std::string(kControls, sizeof kControls - 1));
  const std::vector<std::string> texts = LoggedTexts(log);
  ASSERT_EQ(texts.size(), 2U) << log.text();
  EXPECT_EQ(texts[0], "value: a\\x0D\\x0A2026-01-01.00:00:00:\\x09forged\\x00b");
  EXPECT_EQ(texts[1],
            "\\x1B[31m red \\x7F \\xC2\\x9B2J \xC3\xBC \xE2\x82\xAC \\xC3 \\xED\\xA0\\x80 back\\\\slash tab\\x09");
}

TEST(VextroPluginLogFile, ADeviceValueWithLineBreaksStaysOnItsLine) {
  ScopedPluginLog log;
  vextro_sim::SimDevice device;
  RavennaDeviceProxy proxy(1, "127.0.0.1", device.port(), std::make_shared<CantorConfig>(),
                           vextro_test::FastTimings(60000));
  ASSERT_EQ(proxy.ApplyActionList(R"([{"Path":"Actions.CreateReceiver","Data":{"StreamName":"Mic",)"
                                  R"("Mapping":[{"Outputs":[{"IOGroupId":0,"OutputId":0}]}]}}])"),
            0);
  // The page client decodes %0D%0A into a real line break before the value reaches the log.
  device.setSessionsRaw({{"S_NUM", "1"}, {"S_1", "x\r\n2026-01-01.00:00:00:\tERROR: forged"}});
  log.clear();
  proxy.RunRefreshCycle();
  const std::string text = log.text();
  EXPECT_NE(text.find("x\\x0D\\x0A2026-01-01.00:00:00:\\x09ERROR: forged'"), std::string::npos) << text;
  EXPECT_EQ(text.find("\n2026-01-01.00:00:00:\tERROR: forged"), std::string::npos);
}

TEST(VextroPluginLogFile, ARefreshCycleCutsAnOversizedLogToItsTail) {
  ScopedPluginLog log;
  vextro_sim::SimDevice device;
  RavennaDeviceProxy proxy(1, "127.0.0.1", device.port(), std::make_shared<CantorConfig>(),
                           vextro_test::FastTimings(60000));
  std::string filler(kLogShrinkThreshold + 1, 'a');
  for (std::size_t at = 0; at < filler.size(); at += 1000) filler[at] = '\n';
  filler.replace(filler.size() - 8, 8, "LASTBYTE");
  testing_support::writeFile(CurrentLogPath(), filler);
  proxy.RunRefreshCycle();
  Log("after the cut");
  const std::string text = log.text();
  ASSERT_LT(text.size(), kLogKeptTail + 4096);
  EXPECT_EQ(text.substr(0, kLogKeptTail), filler.substr(filler.size() - kLogKeptTail));
  EXPECT_NE(text.find("LASTBYTE\n" + std::string(80, '*') + "\n"), std::string::npos);
  EXPECT_NE(text.find("after the cut"), std::string::npos);
  // At the threshold itself nothing is cut.
  const std::string exact(kLogShrinkThreshold, 'b');
  testing_support::writeFile(CurrentLogPath(), exact);
  ApplyLogSizeLimit();
  EXPECT_EQ(std::filesystem::file_size(CurrentLogPath()), kLogShrinkThreshold);
}

}  // namespace
}  // namespace Vextro
