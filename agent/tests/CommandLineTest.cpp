#include <gtest/gtest.h>

#include "agent/src/CommandLine.h"

namespace {

lmr::CommandLine parsed(const QStringList& options) {
  lmr::CommandLine commandLine;
  QString error;
  EXPECT_TRUE(commandLine.parse(QStringList{QStringLiteral("LUMORA")} + options, error)) << error.toStdString();
  return commandLine;
}

TEST(CommandLine, ValuesAreReadAsTheIntsTheyStandFor) {
  EXPECT_TRUE(parsed({"--server", "1"}).server);
  EXPECT_TRUE(parsed({"--server=-3"}).server);
  EXPECT_FALSE(parsed({"--server", "0"}).server);
  // Not an int: 0, so no role at all.
  for (const char* value : {"abc", "4294967296", "1x", "", "2147483648"}) {
    const lmr::CommandLine line = parsed({"--server", value});
    EXPECT_FALSE(line.server) << value;
    EXPECT_FALSE(line.serverRole()) << value;
  }
  EXPECT_FALSE(parsed({"--serverd", "0"}).serverRole());
  EXPECT_FALSE(parsed({"--serverd", "4294967297"}).serverRole());
  EXPECT_TRUE(parsed({"--serverd", "2147483647"}).serverd);
  EXPECT_FALSE(parsed({"--master", "4294967296"}).master);
  EXPECT_EQ(parsed({"--apid", "4294967296"}).apid, 0);
  EXPECT_EQ(parsed({"--apid", "1234"}).apid, 1234);
}

TEST(CommandLine, ServerdCountsOnlyWithoutServer) {
  const lmr::CommandLine both = parsed({"--server", "0", "--serverd", "1"});
  EXPECT_FALSE(both.server);
  EXPECT_FALSE(both.serverd);
  EXPECT_TRUE(parsed({"--serverd", "1"}).serverd);
}

TEST(CommandLine, UnknownOptionsAndMissingValuesAreErrors) {
  lmr::CommandLine commandLine;
  QString error;
  EXPECT_FALSE(commandLine.parse({"LUMORA", "--frob", "1"}, error));
  EXPECT_EQ(error.toStdString(), "Unknown option 'frob'.");
  EXPECT_FALSE(commandLine.parse({"LUMORA", "--server"}, error));
  EXPECT_EQ(error.toStdString(), "Missing value after '--server'.");
}

}  // namespace
