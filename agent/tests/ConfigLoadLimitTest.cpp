#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <thread>

#include "agent/src/Config.h"
#include "agent/tests/ConfigFixture.h"
#include "testing/stdout_capture.h"

namespace {

using config_testing::ConfigTest;
using config_testing::defaultNames;
using config_testing::pluginNames;
using testing_support::StdoutCapture;

// A valid config.json of exactly size bytes: an empty plug-in table and one long text.
std::string paddedFile(size_t size) {
  const std::string head = R"({"plugins":[],"pad":")";
  const std::string tail = R"("})";
  return head + std::string(size - head.size() - tail.size(), 'x') + tail;
}

TEST_F(ConfigTest, AFileAboveTheSizeLimitIsRefusedLikeABrokenOne) {
  loadWith(paddedFile(lmr::Config::kMaxFileSize));
  EXPECT_TRUE(pluginNames(config).empty());
  ASSERT_NE(config.find({"pad"}), nullptr);

  StdoutCapture capture;
  loadWith(paddedFile(lmr::Config::kMaxFileSize + 1));
  EXPECT_EQ(pluginNames(config), defaultNames());
  EXPECT_EQ(config.find({"pad"}), nullptr);
  EXPECT_EQ(capture.take(), "");  // as silent as any other broken file
}

// Writes a valid document far above the limit into a pipe, stopping when no reader is left.
void feedPipe(int fd, size_t padBytes) {
  sigset_t pipeSignal;
  sigemptyset(&pipeSignal);
  sigaddset(&pipeSignal, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);  // a closed reader gives EPIPE instead
  const auto put = [fd](const std::string& text) {
    return write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  };
  const std::string block(65536, 'x');
  bool open = put(R"({"plugins":[],"pad":")");
  for (size_t sent = 0; open && sent < padBytes; sent += block.size()) {
    open = put(block);
  }
  if (open) {
    put(R"("})");
  }
  close(fd);
}

TEST_F(ConfigTest, AStreamWithoutAKnownSizeIsCutAtTheLimit) {
  const std::string fifo = userData.path() + "/config.fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // A second reader that never reads keeps the writer connected until the load has opened the
  // pipe; closing it afterwards leaves the load as the only reader.
  const int keeper = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(keeper, 0);
  const int writeEnd = open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(writeEnd, 0);
  std::thread writer(feedPipe, writeEnd, size_t{64} << 20);
  config.load(fifo);
  close(keeper);
  writer.join();
  EXPECT_EQ(pluginNames(config), defaultNames());
  EXPECT_EQ(config.find({"pad"}), nullptr);
}

TEST_F(ConfigTest, APipeWithoutAWriterReadsAsEmptyInsteadOfBlocking) {
  const std::string fifo = userData.path() + "/config.fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  config.load(fifo);
  EXPECT_EQ(pluginNames(config), defaultNames());
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define LUMORA_SANITIZED 1
#endif

#ifndef LUMORA_SANITIZED
// Address space the process maps now, from /proc/self/status; 0 when unknown.
size_t mappedBytes() {
  std::ifstream status("/proc/self/status");
  std::string key;
  size_t kib = 0;
  while (status >> key) {
    if (key == "VmSize:" && status >> kib) {
      return kib * 1024;
    }
    status.ignore(4096, '\n');
  }
  return 0;
}
#else
// Set in the test program started again to load only, with the sanitizers' heap limited.
constexpr const char* kLoadOnlyVariable = "LUMORA_TEST_CONFIG_LOAD_ONLY";

void appendOption(const char* variable, const std::string& options) {
  const char* old = std::getenv(variable);
  setenv(variable, (old != nullptr && *old != '\0' ? std::string(old) + ":" : std::string()).append(options).c_str(),
         1);
}
#endif

TEST_F(ConfigTest, AFileThatDoesNotFitInMemoryGivesTheDefaults) {
  const auto loadFallsBack = [this](const std::string& path) {
    config.load(path);
    return config.find({"pad"}) == nullptr && pluginNames(config) == defaultNames();
  };
#ifdef LUMORA_SANITIZED
  if (const char* path = std::getenv(kLoadOnlyVariable)) {
    const bool fellBack = loadFallsBack(path);
    std::filesystem::remove_all(userData.path());  // no destructor runs after _exit
    std::filesystem::remove_all(machineData.path());
    _exit(fellBack ? 0 : 1);
  }
#endif
  // Two million numbers: small on disk, about 64 MiB while parsed.
  std::string numbers = R"({"plugins":[],"pad":[0)";
  while (numbers.size() + 4 < lmr::Config::kMaxFileSize) {
    numbers += ",0";
  }
  numbers += "]}";
  std::filesystem::create_directories(base());
  testing_support::writeFile(configFile(), numbers);

  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
#ifdef LUMORA_SANITIZED
    // The sanitizers' heaps ignore an address-space limit; their own cap on one allocation
    // makes the parse stack's growth fail instead.
    const std::string limit = "allocator_may_return_null=1:max_allocation_size_mb=16";
    appendOption("ASAN_OPTIONS", limit);
    appendOption("TSAN_OPTIONS", limit);
    setenv(kLoadOnlyVariable, configFile().c_str(), 1);
    const std::string filter = std::string("--gtest_filter=") +
                               ::testing::UnitTest::GetInstance()->current_test_info()->test_suite_name() + "." +
                               ::testing::UnitTest::GetInstance()->current_test_info()->name();
    execl("/proc/self/exe", "agent_core_tests", filter.c_str(), static_cast<char*>(nullptr));
    _exit(3);
#else
    const size_t headroom = size_t{24} << 20;
    const rlimit limit{mappedBytes() + headroom, mappedBytes() + headroom};
    if (mappedBytes() == 0 || setrlimit(RLIMIT_AS, &limit) != 0) {
      _exit(2);
    }
    _exit(loadFallsBack(configFile()) ? 0 : 1);
#endif
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "the load died of signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);

  // Without the limit the same file loads.
  config.load();
  EXPECT_NE(config.find({"pad"}), nullptr);
}

}  // namespace
