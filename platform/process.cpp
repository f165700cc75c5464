#include "platform/process.h"

#include <cerrno>
#include <csignal>
#include <fstream>
#include <limits>
#include <sys/types.h>
#include <unistd.h>
#include <vector>

namespace platform {
namespace {

// State letter of /proc/<pid>/stat, or 0 when it cannot be read. The command name in
// parentheses may itself hold blanks and parentheses, so the state follows the last ')'.
char processState(int64_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  if (!std::getline(stat, text)) {
    return 0;
  }
  const auto close = text.rfind(')');
  if (close == std::string::npos || close + 2 >= text.size()) {
    return 0;
  }
  return text[close + 2];
}

}  // namespace

bool isProcessAlive(int64_t pid) {
  if (pid <= 0 || pid > std::numeric_limits<pid_t>::max()) {
    return false;
  }
  if (kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM) {
    return false;
  }
  const char state = processState(pid);
  return state != 'Z' && state != 'X';
}

std::string ownExecutablePath() {
  std::vector<char> buffer(4096);
  for (;;) {
    const ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length < 0) {
      return {};
    }
    if (static_cast<size_t>(length) < buffer.size()) {
      return std::string(buffer.data(), static_cast<size_t>(length));
    }
    buffer.resize(buffer.size() * 2);
  }
}

int64_t currentProcessId() { return static_cast<int64_t>(getpid()); }

}  // namespace platform
