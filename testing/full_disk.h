#pragma once

#include <cstddef>
#include <string>

namespace testing_support {

// A small tmpfs mounted on a folder, that fill() packs to the last byte so every later write
// there fails with "No space left on device". Mounting needs the test namespace (its own mount
// namespace, as root); mounted() is false elsewhere, and the test should skip.
class FullDisk {
 public:
  static constexpr std::size_t kDefaultSize = std::size_t{256} << 10;

  // Mounts over folder (created when missing; what it held is hidden until the end).
  explicit FullDisk(std::string folder, std::size_t bytes = kDefaultSize);
  ~FullDisk();
  FullDisk(const FullDisk&) = delete;
  FullDisk& operator=(const FullDisk&) = delete;

  [[nodiscard]] bool mounted() const { return mounted_; }
  // Takes every free byte; release() gives them back.
  void fill();
  void release();

 private:
  std::string folder_;
  bool mounted_ = false;
};

}  // namespace testing_support
