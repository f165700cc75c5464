#include "platform/detached_process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <set>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/process.h"
#include "testing/temp_dir.h"
#include "testing/wait_until.h"

namespace {

using namespace std::chrono_literals;
constexpr const char* kVariable = "LIFELINE_TEST_FD";

std::set<int> openDescriptors(int64_t pid) {
  std::set<int> numbers;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
    numbers.insert(std::stoi(entry.path().filename().string()));
  }
  return numbers;
}

TEST(DetachedProcess, ChildGetsOnlyTheStandardDescriptorsAndItsLifeline) {
  // What a library may leave open without close-on-exec, as the DNS-SD client's socket pair.
  int leaked[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, leaked), 0);
  auto child = platform::startDetachedWithLifeline("/bin/sleep", {"10"}, kVariable);
  close(leaked[0]);
  close(leaked[1]);
  ASSERT_TRUE(child);
  ASSERT_GT(child->pid, 0);
  // Not our child: init reaps it.
  EXPECT_NE(getpgid(static_cast<pid_t>(child->pid)), getpgid(0));
  std::set<int> seen;
  EXPECT_TRUE(testing_support::waitUntil(
      [&] {
        seen = openDescriptors(child->pid);
        return seen == std::set<int>{0, 1, 2, platform::kLifelineFd};
      },
      2s))
      << seen.size();
  kill(static_cast<pid_t>(child->pid), SIGKILL);
}

TEST(DetachedProcess, ChildSeesTheEndOfItsLifelineAtOnce) {
  testing_support::TempDir folder;
  const std::string done = folder.path() + "/done";
  // The child finds the lifeline's number in the variable and reads it until end-of-file.
  auto child = platform::startDetachedWithLifeline(
      "/bin/sh", {"-c", std::string("cat <&$") + kVariable + " >/dev/null; echo ended > " + done}, kVariable);
  ASSERT_TRUE(child);
  EXPECT_FALSE(testing_support::waitUntil([&] { return std::filesystem::exists(done); }, 300ms));
  const auto closed = std::chrono::steady_clock::now();
  child->lifeline.reset();
  EXPECT_TRUE(testing_support::waitUntil([&] { return std::filesystem::exists(done); }, 2s));
  EXPECT_LT(std::chrono::steady_clock::now() - closed, 1s);
  EXPECT_TRUE(testing_support::waitUntil([&] { return !platform::isProcessAlive(child->pid); }, 2s));
}

TEST(DetachedProcess, AProgramThatCannotRunGivesNothing) {
  EXPECT_FALSE(platform::startDetachedWithLifeline("/nonexistent/program", {}, kVariable));
}

TEST(DetachedProcess, TakeLifelineAcceptsOnlyAPipeAndClearsTheVariable) {
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  setenv(kVariable, std::to_string(ends[0]).c_str(), 1);
  EXPECT_EQ(platform::takeLifeline(kVariable), ends[0]);
  EXPECT_EQ(getenv(kVariable), nullptr);
  EXPECT_FALSE(platform::waitForLifelineEnd(ends[0], 50ms));
  close(ends[1]);
  EXPECT_TRUE(platform::waitForLifelineEnd(ends[0], 1000ms));
  close(ends[0]);
  for (const char* text : {"0", "x", "99999", "-1"}) {
    setenv(kVariable, text, 1);
    EXPECT_EQ(platform::takeLifeline(kVariable), -1) << text;
  }
  EXPECT_EQ(platform::takeLifeline(kVariable), -1);
}

}  // namespace
