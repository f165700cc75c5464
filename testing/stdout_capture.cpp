#include "testing/stdout_capture.h"

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <unistd.h>

namespace testing_support {

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
}

StdoutCapture::~StdoutCapture() {
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
