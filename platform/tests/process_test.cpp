#include "platform/process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <mutex>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

TEST(IsProcessAlive, KnowsItselfAndRejectsIdsThatNameNoProcess) {
  EXPECT_TRUE(platform::isProcessAlive(platform::currentProcessId()));
  EXPECT_TRUE(platform::isProcessAlive(getppid()));
  EXPECT_FALSE(platform::isProcessAlive(0));
  EXPECT_FALSE(platform::isProcessAlive(-1));
  EXPECT_FALSE(platform::isProcessAlive(int64_t{1} << 40));
}

TEST(IsProcessAlive, FollowsAChildThroughExitZombieAndReaping) {
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    pause();
    _exit(0);
  }
  EXPECT_TRUE(platform::isProcessAlive(child));
  kill(child, SIGKILL);
  // Until waitpid the child is a zombie: it has exited and must count as gone.
  bool sawDead = false;
  for (int i = 0; i < 200 && !sawDead; ++i) {
    sawDead = !platform::isProcessAlive(child);
    if (!sawDead) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  EXPECT_TRUE(sawDead);
  siginfo_t info{};
  ASSERT_EQ(waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOWAIT), 0);  // still a zombie here
  EXPECT_FALSE(platform::isProcessAlive(child));
  waitpid(child, nullptr, 0);
  EXPECT_FALSE(platform::isProcessAlive(child));
}

TEST(IsProcessAlive, AThreadIdIsNoProcess) {
  std::mutex mutex;
  std::condition_variable changed;
  int64_t threadId = 0;
  bool done = false;
  std::thread worker([&] {
    std::unique_lock<std::mutex> lock(mutex);
    threadId = static_cast<int64_t>(syscall(SYS_gettid));
    changed.notify_all();
    changed.wait(lock, [&] { return done; });
  });
  {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [&] { return threadId != 0; });
  }
  // The thread's id answers signals and has a /proc entry, yet names no process of its own.
  EXPECT_NE(threadId, platform::currentProcessId());
  EXPECT_EQ(kill(static_cast<pid_t>(threadId), 0), 0);
  EXPECT_FALSE(platform::isProcessAlive(threadId));
  EXPECT_TRUE(platform::isProcessAlive(platform::currentProcessId()));
  {
    std::lock_guard<std::mutex> lock(mutex);
    done = true;
  }
  changed.notify_all();
  worker.join();
}

TEST(OwnExecutablePath, NamesThisTestProgram) {
  const std::string path = platform::ownExecutablePath();
  ASSERT_FALSE(path.empty());
  EXPECT_EQ(path.front(), '/');
  EXPECT_NE(path.find("platform_tests"), std::string::npos);
}
