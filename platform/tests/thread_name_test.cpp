#include "platform/thread_name.h"
#include "platform/console.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <thread>
#include <unistd.h>

TEST(SetThreadName, NamesTheCallingThreadAndCutsAtFifteenBytes) {
  std::string shortName;
  std::string longName;
  std::thread worker([&] {
    platform::setThreadName("DiscoverySap");
    shortName = platform::currentThreadName();
    platform::setThreadName("a-thread-name-far-too-long");
    longName = platform::currentThreadName();
  });
  worker.join();
  EXPECT_EQ(shortName, "DiscoverySap");
  EXPECT_EQ(longName, "a-thread-name-f");
}

TEST(OpenConsole, ReopensAClosedStandardDescriptorAndLeavesOpenOnesAlone) {
  const int savedErr = dup(STDERR_FILENO);
  const int savedOut = dup(STDOUT_FILENO);
  close(STDERR_FILENO);
  platform::openConsole();
  const bool errOpen = fcntl(STDERR_FILENO, F_GETFD) != -1;
  const bool outSame = fcntl(STDOUT_FILENO, F_GETFD) != -1;
  dup2(savedErr, STDERR_FILENO);
  close(savedErr);
  close(savedOut);
  EXPECT_TRUE(errOpen);
  EXPECT_TRUE(outSame);
}
