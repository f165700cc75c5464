#include "log/console_log.h"

#include <gtest/gtest.h>

#include <regex>
#include <thread>
#include <vector>

#include "log/tests/log_line.h"
#include "testing/stdout_capture.h"

using namespace log_test;
using testing_support::StdoutCapture;

TEST(WriteLog, WritesTimeColourMessageThenResetPerLevel) {
  const std::string colours[8] = {kRed, kRed, kRed, kRed, kYellow, kCyan, kGreen, kMagenta};
  for (uint32_t level = 0; level <= 7; ++level) {
    StdoutCapture capture;
    writeLog(level, "agent.cpp", 42, "hello %d\n", 1);
    const std::string out = capture.take();
    EXPECT_TRUE(startsWithTimeStamp(out)) << out;
    // The reset follows the caller's line feed: it opens the next console row.
    EXPECT_EQ(afterTimeStamp(out), colours[level] + "hello 1\n" + kReset) << "level " << level;
  }
}

TEST(WriteLog, DropsLevelsAboveSevenWithoutFormattingTheArguments) {
  StdoutCapture capture;
  // Formatting this pointer would crash: a dropped call must not touch its arguments.
  const char* poisoned = reinterpret_cast<const char*>(16);
  writeLog(8, "agent.cpp", 1, "%s\n", poisoned);
  writeLog(0xFFFFFFFFu, "agent.cpp", 1, "%s\n", poisoned);
  writeLog(static_cast<uint32_t>(-1), "agent.cpp", 1, "%s\n", poisoned);
  EXPECT_EQ(capture.take(), "");
}

TEST(WriteLog, CutsTheWholeLineAt1023CharactersAndMarksTheCut) {
  const std::string longText(5000, 'x');
  StdoutCapture capture;
  writeLog(6, "agent.cpp", 1, "%s\n", longText.c_str());
  const std::string out = capture.take();
  ASSERT_EQ(out.size(), 1023u + kReset.size() + 4u);
  EXPECT_EQ(out.substr(1023), kReset + "...\n");
  EXPECT_EQ(out.substr(10, kGreen.size()), kGreen);

  // Without a line feed in the format there is no cut marker to add.
  writeLog(6, "agent.cpp", 1, "%s", longText.c_str());
  const std::string unmarked = capture.take();
  ASSERT_EQ(unmarked.size(), 1023u + kReset.size());
  EXPECT_EQ(unmarked.substr(1023), kReset);
}

TEST(WriteLog, MessageThatFitsExactlyIsNotMarkedAsCut) {
  // 10 (time) + 9 (colour) + message + "\n" = 1023 characters: the line feed survives.
  const std::string text(1023 - 10 - kGreen.size() - 1, 'y');
  StdoutCapture capture;
  writeLog(6, "agent.cpp", 1, "%s\n", text.c_str());
  const std::string out = capture.take();
  EXPECT_EQ(out.size(), 1023u + kReset.size());
  EXPECT_EQ(out.substr(out.size() - 5), "\n" + kReset);
}

TEST(WriteLog, ALineEndedEarlyByAZeroCharacterIsMarkedAsCut) {
  // Only the text before the zero is printed, and it lost the format's line feed.
  StdoutCapture capture;
  writeLog(6, "agent.cpp", 1, "ab%c\n", 0);
  EXPECT_EQ(afterTimeStamp(capture.take()), kGreen + "ab" + kReset + "...\n");
}

TEST(WriteLog, FormatWithoutLineFeedLeavesTheLineOpen) {
  StdoutCapture capture;
  writeLog(4, "agent.cpp", 1, "no end ");
  writeLog(4, "agent.cpp", 1, "%s", "");
  const std::string out = capture.take();
  const std::regex expected(
      "^\\d\\d:\\d\\d:\\d\\d  \033\\[33m\033\\[1mno end \033\\[0m"
      "\\d\\d:\\d\\d:\\d\\d  \033\\[33m\033\\[1m\033\\[0m$");
  EXPECT_TRUE(std::regex_match(out, expected)) << out;
}

TEST(WriteLogCategory, PutsTheLocationBeforeTheColourAndTheCategoryAfterIt) {
  StdoutCapture capture;
  writeLogCategory("zeroconf_category", 3, "browse.cpp", 7, "error %d\n", -65563);
  EXPECT_EQ(afterTimeStamp(capture.take()),
            "In browse.cpp, line 7: " + kRed + " zeroconf_category: error -65563\n" + kReset);

  writeLogCategory(nullptr, 6, "browse.cpp", -1, "no category\n");
  EXPECT_EQ(afterTimeStamp(capture.take()), "In browse.cpp, line -1: " + kGreen + "no category\n" + kReset);

  writeLogCategory("c", 8, "browse.cpp", 1, "dropped\n");
  EXPECT_EQ(capture.take(), "");
}

TEST(WriteLog, LinesOfConcurrentThreadsNeverMix) {
  constexpr int kThreads = 8;
  constexpr int kLinesPerThread = 2000;
  StdoutCapture capture;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kLinesPerThread; ++i) {
        writeLog(6, "agent.cpp", 1, "thread %d line %05d payload-payload-payload\n", t, i);
      }
    });
  }
  for (auto& thread : threads) {
    thread.join();
  }
  const std::string out = capture.take();
  const std::regex record(
      "\\d\\d:\\d\\d:\\d\\d  \033\\[32m\033\\[1mthread [0-7] line \\d{5} payload-payload-payload\n\033\\[0m");
  const auto begin = std::sregex_iterator(out.begin(), out.end(), record);
  size_t matched = 0;
  size_t matchedBytes = 0;
  for (auto it = begin; it != std::sregex_iterator(); ++it) {
    ++matched;
    matchedBytes += static_cast<size_t>(it->length());
  }
  EXPECT_EQ(matched, static_cast<size_t>(kThreads * kLinesPerThread));
  EXPECT_EQ(matchedBytes, out.size());
}

TEST(LogFileName, CutsAtEitherPathSeparator) {
  static_assert(std::char_traits<char>::compare(lumora_log::baseName("a/b\\c.cpp"), "c.cpp", 6) == 0);
  EXPECT_STREQ(lumora_log::baseName("C:\\src\\agent\\Agent.cpp"), "Agent.cpp");
  EXPECT_STREQ(lumora_log::baseName("plain.cpp"), "plain.cpp");
  EXPECT_STREQ(lumora_log::baseName("dir/"), "");
  EXPECT_STREQ(LOG_FILE, "console_log_test.cpp");
}
