#include "platform/process.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <sys/types.h>
#include <unistd.h>
#include <vector>

namespace platform {
namespace {

// What /proc/<pid>/status tells: the state letter and the thread group (process) the id
// belongs to; 0 for what cannot be read.
struct TaskStatus {
  char state = 0;
  int64_t threadGroup = 0;
};

TaskStatus taskStatus(int64_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  TaskStatus task;
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("State:", 0) == 0) {
      const auto letter = line.find_first_not_of(" \t", 6);
      task.state = letter != std::string::npos ? line[letter] : 0;
    } else if (line.rfind("Tgid:", 0) == 0) {
      task.threadGroup = std::strtoll(line.c_str() + 5, nullptr, 10);
    }
  }
  return task;
}

}  // namespace

bool isProcessAlive(int64_t pid) {
  if (pid <= 0 || pid > std::numeric_limits<pid_t>::max()) {
    return false;
  }
  if (kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM) {
    return false;
  }
  // /proc also answers for the id of any thread, and a signal sent to it reaches its process:
  // only the thread-group leader's id names a process.
  const TaskStatus task = taskStatus(pid);
  if (task.threadGroup != 0 && task.threadGroup != pid) {
    return false;
  }
  return task.state != 'Z' && task.state != 'X';
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
