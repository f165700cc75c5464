#pragma once

#include <cstddef>

namespace platform {

// Owns one file descriptor and closes it when reset or destroyed.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  [[nodiscard]] int get() const { return fd_; }
  [[nodiscard]] bool valid() const { return fd_ >= 0; }
  int release();
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

// Writes size bytes to fd across short writes and interruptions; false with errno set. Only
// write(2) inside, so a child may call it between fork and exec.
bool writeAll(int fd, const void* data, std::size_t size);

}  // namespace platform
