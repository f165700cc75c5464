#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace testing_support {

// A program run as a child process with its standard output and error in files. Killed (SIGKILL)
// and reaped on destruction when still running.
class ProgramRun {
 public:
  // env: variables to set (a value) or to remove (nullopt) on top of this process's environment.
  ProgramRun(const std::string& program, const std::vector<std::string>& arguments,
             const std::map<std::string, std::optional<std::string>>& env, const std::string& outputPrefix);
  ~ProgramRun();
  ProgramRun(const ProgramRun&) = delete;
  ProgramRun& operator=(const ProgramRun&) = delete;

  [[nodiscard]] pid_t pid() const { return pid_; }
  // The exit code once the program ended within timeout (a signal death gives 128 + signal).
  std::optional<int> waitExit(std::chrono::milliseconds timeout);
  [[nodiscard]] bool running();
  void signal(int number);

  [[nodiscard]] std::string output() const;
  [[nodiscard]] std::string errors() const;
  // Waits until the standard output holds text; false when the time ran out.
  bool waitForOutput(const std::string& text, std::chrono::milliseconds timeout) const;

 private:
  pid_t pid_ = -1;
  std::optional<int> exitCode_;
  std::string outputPath_;
  std::string errorPath_;
};

}  // namespace testing_support
