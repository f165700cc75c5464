#include "platform/detached_process.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace platform {
namespace {

// Descriptors the child moves its own pipe ends to while it sets up kLifelineFd.
constexpr int kScratchFdFloor = 10;

struct ExecReport {
  pid_t pid = -1;
  int error = 0;
};

std::vector<char*> pointers(std::vector<std::string>& texts) {
  std::vector<char*> result;
  for (std::string& text : texts) result.push_back(text.data());
  result.push_back(nullptr);
  return result;
}

std::vector<std::string> childEnvironment(const std::string& variable) {
  const std::string prefix = variable + "=";
  std::vector<std::string> entries;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    if (std::string(*entry).rfind(prefix, 0) != 0) entries.emplace_back(*entry);
  }
  entries.push_back(prefix + std::to_string(kLifelineFd));
  return entries;
}

size_t readAll(int fd, void* data, size_t size) {
  char* bytes = static_cast<char*>(data);
  size_t done = 0;
  while (done < size) {
    const ssize_t got = ::read(fd, bytes + done, size - done);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    done += static_cast<size_t>(got);
  }
  return done;
}

// Runs between fork and exec: async-signal-safe calls only.
[[noreturn]] void execChild(const char* program, char* const* argv, char* const* envp, int lifelineRead,
                            int reportWrite, long maxFd) {
  const int report = ::fcntl(reportWrite, F_DUPFD_CLOEXEC, kScratchFdFloor);
  const int lifeline = ::fcntl(lifelineRead, F_DUPFD, kScratchFdFloor);
  if (report >= 0 && lifeline >= 0 && ::dup2(lifeline, kLifelineFd) == kLifelineFd) {
    if (::close_range(kLifelineFd + 1, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
      for (long fd = kLifelineFd + 1; fd < maxFd; ++fd) ::fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
    }
    ::execve(program, argv, envp);
  }
  const int error = errno;
  if (report >= 0) writeAll(report, &error, sizeof(error));
  ::_exit(127);
}

}  // namespace

std::optional<DetachedProcess> startDetachedWithLifeline(const std::string& program,
                                                         const std::vector<std::string>& arguments,
                                                         const std::string& lifelineVariable) {
  // Everything the child needs is built here: after fork only async-signal-safe calls are allowed.
  std::vector<std::string> argumentTexts{program};
  argumentTexts.insert(argumentTexts.end(), arguments.begin(), arguments.end());
  std::vector<std::string> environmentTexts = childEnvironment(lifelineVariable);
  const std::vector<char*> argv = pointers(argumentTexts);
  const std::vector<char*> envp = pointers(environmentTexts);
  const long maxFd = ::sysconf(_SC_OPEN_MAX);

  int lifeline[2];
  int report[2];
  if (::pipe2(lifeline, O_CLOEXEC) != 0) return std::nullopt;
  UniqueFd lifelineRead(lifeline[0]);
  UniqueFd lifelineWrite(lifeline[1]);
  if (::pipe2(report, O_CLOEXEC) != 0) return std::nullopt;
  UniqueFd reportRead(report[0]);
  UniqueFd reportWrite(report[1]);

  const pid_t middle = ::fork();
  if (middle < 0) return std::nullopt;
  if (middle == 0) {
    // The middle process ends at once, so the engine is nobody's child here and never a zombie.
    ::setsid();
    const pid_t child = ::fork();
    if (child == 0) execChild(program.c_str(), argv.data(), envp.data(), lifeline[0], report[1], maxFd);
    writeAll(report[1], &child, sizeof(child));
    ::_exit(0);
  }
  lifelineRead.reset();
  reportWrite.reset();
  int status = 0;
  while (::waitpid(middle, &status, 0) < 0 && errno == EINTR) {
  }
  ExecReport result;
  // The pid, then end-of-file once the child's exec closed its copy, or the exec's error first.
  if (readAll(reportRead.get(), &result.pid, sizeof(result.pid)) != sizeof(result.pid) || result.pid <= 0) {
    return std::nullopt;
  }
  if (readAll(reportRead.get(), &result.error, sizeof(result.error)) == sizeof(result.error)) return std::nullopt;
  return DetachedProcess{result.pid, std::move(lifelineWrite)};
}

int takeLifeline(const char* lifelineVariable) {
  const char* text = std::getenv(lifelineVariable);
  if (text == nullptr) return -1;
  char* end = nullptr;
  const long fd = std::strtol(text, &end, 10);
  ::unsetenv(lifelineVariable);
  struct stat info {};
  if (end == text || *end != '\0' || fd < 0 || fd > 1024 || ::fstat(static_cast<int>(fd), &info) != 0 ||
      !S_ISFIFO(info.st_mode)) {
    return -1;
  }
  // Not handed on to anything this process starts.
  ::fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
  return static_cast<int>(fd);
}

bool waitForLifelineEnd(int fd, std::chrono::milliseconds timeout) {
  pollfd entry{fd, POLLIN, 0};
  const int ready = ::poll(&entry, 1, static_cast<int>(timeout.count()));
  if (ready <= 0) return false;
  // Nobody writes into a lifeline: readable means end-of-file, or bytes to discard.
  char buffer[64];
  const ssize_t got = ::read(fd, buffer, sizeof(buffer));
  return got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN);
}

}  // namespace platform
