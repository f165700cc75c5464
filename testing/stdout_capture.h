#pragma once

#include <string>

namespace testing_support {

// Redirects file descriptor 1 (and the C stdout stream with it) into a temporary file
// for the lifetime of the object, so tests can compare the exact bytes a component wrote.
// GoogleTest prints a failing assertion to standard output, that is into the capture: while one
// is active, each failure is also written to the standard output the first capture replaced, so
// the reason still reaches the test log.
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
