#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/file_descriptor.h"

namespace platform {

// A process started apart from this one (init, not this process, reaps it), and the write end of
// its lifeline: a pipe whose read end is the child's one descriptor besides standard input,
// output and error. The child sees end-of-file on it as soon as this end is closed, which the
// kernel does when this process ends, however it ends.
struct DetachedProcess {
  int64_t pid = 0;
  UniqueFd lifeline;
};

// The descriptor number the child finds its lifeline on.
constexpr int kLifelineFd = 3;

// Starts program (an absolute path) with arguments in a session of its own. The child's
// environment is this process's plus lifelineVariable set to kLifelineFd. Nothing else this
// process has open reaches the child. Empty when the program could not be started.
[[nodiscard]] std::optional<DetachedProcess> startDetachedWithLifeline(const std::string& program,
                                                                       const std::vector<std::string>& arguments,
                                                                       const std::string& lifelineVariable);

// In the child: the lifeline named by the variable, which is then removed from the environment;
// -1 when the variable is unset or does not name a pipe.
[[nodiscard]] int takeLifeline(const char* lifelineVariable);

// Waits up to timeout for the other end of the lifeline to close; true once it has.
[[nodiscard]] bool waitForLifelineEnd(int fd, std::chrono::milliseconds timeout);

}  // namespace platform
