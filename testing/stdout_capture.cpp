#include "testing/stdout_capture.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <vector>

namespace testing_support {
namespace {

// The captures alive, oldest first; failures go to the descriptor the oldest one saved.
std::mutex capturesMutex;
std::vector<const int*> savedDescriptors;

void writeAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

// Writes each failure, as GoogleTest's own printer words it, past an active capture.
class FailuresPastTheCapture : public ::testing::EmptyTestEventListener {
 public:
  void OnTestPartResult(const ::testing::TestPartResult& result) override {
    if (!result.failed()) return;
    std::string text = result.file_name() != nullptr ? result.file_name() : "unknown file";
    if (result.line_number() >= 0) text += ":" + std::to_string(result.line_number());
    text += ": Failure (printed past the standard output capture)\n";
    text += result.message();
    text += "\n";
    std::lock_guard<std::mutex> lock(capturesMutex);
    if (!savedDescriptors.empty()) writeAll(*savedDescriptors.front(), text);
  }
};

// Registered before any test runs; only programs that use a capture link this file.
const bool kListening = [] {
  ::testing::UnitTest::GetInstance()->listeners().Append(new FailuresPastTheCapture);
  return true;
}();

}  // namespace

StdoutCapture::StdoutCapture() {
  std::fflush(stdout);
  char name[] = "/tmp/lumora-stdout-XXXXXX";
  captureFd_ = mkstemp(name);
  if (captureFd_ < 0) {
    throw std::runtime_error("cannot create capture file");
  }
  unlink(name);
  savedFd_ = dup(STDOUT_FILENO);
  dup2(captureFd_, STDOUT_FILENO);
  std::lock_guard<std::mutex> lock(capturesMutex);
  savedDescriptors.push_back(&savedFd_);
}

StdoutCapture::~StdoutCapture() {
  {
    std::lock_guard<std::mutex> lock(capturesMutex);
    savedDescriptors.erase(std::remove(savedDescriptors.begin(), savedDescriptors.end(), &savedFd_),
                           savedDescriptors.end());
  }
  std::fflush(stdout);
  dup2(savedFd_, STDOUT_FILENO);
  close(savedFd_);
  close(captureFd_);
}

std::string StdoutCapture::take() {
  std::fflush(stdout);
  std::string result;
  char buffer[4096];
  for (;;) {
    const ssize_t n = pread(captureFd_, buffer, sizeof(buffer), readOffset_);
    if (n <= 0) {
      break;
    }
    result.append(buffer, static_cast<size_t>(n));
    readOffset_ += n;
  }
  return result;
}

}  // namespace testing_support
