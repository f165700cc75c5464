#pragma once

#include <string>
#include <vector>

// Shell commands run by tests, and their output.
namespace testing_support {

// The text as one single-quoted shell word.
[[nodiscard]] std::string shellWord(const std::string& text);

struct CommandResult {
  int status = -1;     // as pclose() gives it; -1 when no shell could be started
  std::string output;  // standard output, read to the end
};
// Runs `command` through the shell; bound it (timeout, -m) where it could hang.
[[nodiscard]] CommandResult runCommand(const std::string& command);

// The text's lines without their line ends; a last line without one counts too.
[[nodiscard]] std::vector<std::string> splitLines(const std::string& text);

}  // namespace testing_support
