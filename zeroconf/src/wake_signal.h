#pragma once

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace zeroconf {

// A descriptor the poll thread watches next to the operations' sockets, so a new operation,
// a scheduled call or the client's end is taken at once instead of after a poll time-out.
// Without one (the system refused the eventfd) the poll thread falls back to time-outs.
class wake_signal {
 public:
  wake_signal() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
  ~wake_signal() {
    if (fd_ >= 0) {
      ::close(fd_);
    }
  }
  wake_signal(const wake_signal&) = delete;
  wake_signal& operator=(const wake_signal&) = delete;

  [[nodiscard]] int fd() const { return fd_; }

  // Safe on any thread; wake-ups before the next wait are taken together.
  void notify() const {
    const uint64_t one = 1;
    if (fd_ >= 0) {
      [[maybe_unused]] const ssize_t written = ::write(fd_, &one, sizeof one);
    }
  }

  // Clears the wake-ups taken; poll thread only.
  void drain() const {
    uint64_t count = 0;
    if (fd_ >= 0) {
      [[maybe_unused]] const ssize_t read = ::read(fd_, &count, sizeof count);
    }
  }

 private:
  const int fd_;
};

}  // namespace zeroconf
