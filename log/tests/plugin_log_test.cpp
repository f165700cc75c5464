#include "log/plugin_log.h"

#include <gtest/gtest.h>

#include "log/tests/log_line.h"
#include "testing/stdout_capture.h"

using namespace log_test;
using testing_support::StdoutCapture;

TEST(PluginWriteLog, PrefixesEveryLineWithItsSource) {
  StdoutCapture capture;
  writeLog(3, "sap_listener", 120, "Receive invalid UTF8 SDP: IP:%s\n", "10.0.0.1");
  EXPECT_EQ(afterTimeStamp(capture.take()),
            "In sap_listener, line 120: " + kRed + "Receive invalid UTF8 SDP: IP:10.0.0.1\n" + kReset);
  writeLog(4, "attribute", 9, "expired\n");
  EXPECT_EQ(afterTimeStamp(capture.take()), "In attribute, line 9: " + kYellow + "expired\n" + kReset);
}

TEST(PluginWriteLog, DropsAboveSevenAndCutsLikeTheAgentForm) {
  StdoutCapture capture;
  writeLog(8, "attribute", 1, "dropped\n");
  EXPECT_EQ(capture.take(), "");

  const std::string longText(3000, 'z');
  writeLog(7, "attribute", 1, "%s\n", longText.c_str());
  const std::string out = capture.take();
  ASSERT_EQ(out.size(), 1023u + kReset.size() + 4u);
  EXPECT_EQ(out.substr(1023), kReset + "...\n");
  EXPECT_EQ(out.substr(10, 23), "In attribute, line 1: " + kMagenta.substr(0, 1));
}
