#pragma once

#include <optional>
#include <string>

namespace testing_support {

// A fresh folder under $TMPDIR (or /tmp), removed with everything in it on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  [[nodiscard]] const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Sets (or with nullopt unsets) an environment variable and restores the old value on destruction.
class ScopedEnv {
 public:
  ScopedEnv(std::string name, const std::optional<std::string>& value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> saved_;
};

// Whole contents of a file; empty when it cannot be read.
[[nodiscard]] std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& contents);

}  // namespace testing_support
