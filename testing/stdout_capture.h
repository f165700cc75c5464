#pragma once

#include <string>

namespace testing_support {

// Redirects file descriptor 1 (and the C stdout stream with it) into a temporary file
// for the lifetime of the object, so tests can compare the exact bytes a component wrote.
class StdoutCapture {
 public:
  StdoutCapture();
  ~StdoutCapture();
  StdoutCapture(const StdoutCapture&) = delete;
  StdoutCapture& operator=(const StdoutCapture&) = delete;

  // Everything written since construction or the previous call.
  [[nodiscard]] std::string take();

 private:
  int savedFd_ = -1;
  int captureFd_ = -1;
  long readOffset_ = 0;
};

}  // namespace testing_support
