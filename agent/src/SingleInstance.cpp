#include "agent/src/SingleInstance.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "log/console_log.h"

namespace lmr {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kLockRetry{10};
constexpr milliseconds kConnectRetry{10};
// Pause before checking again after an agent that was ending.
constexpr milliseconds kEndingRetry{20};
constexpr mode_t kPrivateMode = 0700;
constexpr mode_t kGroupAndOtherBits = 077;
constexpr const char* kOwnFolderPrefix = "/lumora-";

// A folder of this user's that nobody else may enter (so nobody else can create anything in it).
bool isPrivateFolder(const std::string& path, bool followLinks) {
  struct stat info {};
  const int result = followLinks ? ::stat(path.c_str(), &info) : ::lstat(path.c_str(), &info);
  return result == 0 && S_ISDIR(info.st_mode) && info.st_uid == ::geteuid() && (info.st_mode & kGroupAndOtherBits) == 0;
}

std::string absoluteVariable(const char* name) {
  const char* value = std::getenv(name);
  std::string text = value != nullptr && value[0] == '/' ? value : "";
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  return text;
}

milliseconds remaining(Clock::time_point deadline) {
  return std::max(milliseconds(0), std::chrono::duration_cast<milliseconds>(deadline - Clock::now()));
}

// Waits up to timeout for events on fd; false when the time ran out.
bool waitFor(int fd, short events, milliseconds timeout) {
  const Clock::time_point deadline = Clock::now() + timeout;
  for (;;) {
    pollfd entry{fd, events, 0};
    const int ready = ::poll(&entry, 1, static_cast<int>(remaining(deadline).count()));
    if (ready > 0) return true;
    if (ready == 0 || errno != EINTR) return false;
  }
}

}  // namespace

std::string SingleInstance::folder(std::string& problem) {
  const std::string runtime = absoluteVariable("XDG_RUNTIME_DIR");
  if (!runtime.empty() && isPrivateFolder(runtime, true)) {
    return runtime;
  }
  std::string temp = absoluteVariable("TMPDIR");
  if (temp.empty()) temp = "/tmp";
  const std::string own = temp + kOwnFolderPrefix + std::to_string(::geteuid());
  if (::mkdir(own.c_str(), kPrivateMode) != 0 && errno != EEXIST) {
    problem = own + " cannot be created: " + std::strerror(errno);
    return {};
  }
  struct stat info {};
  // Ours, but made by hand or under a loose umask: nobody else can have put anything in it that
  // the lock and the peer check would not catch.
  if (::lstat(own.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == ::geteuid() &&
      (info.st_mode & kGroupAndOtherBits) != 0) {
    ::chmod(own.c_str(), kPrivateMode);
  }
  if (!isPrivateFolder(own, false)) {
    problem = own + " is not a folder of this user's alone";
    return {};
  }
  return own;
}

std::string SingleInstance::socketPath(std::string& problem) {
  const std::string base = folder(problem);
  if (base.empty()) return {};
  const std::string path = base + "/" + kName;
  if (path.size() >= sizeof(sockaddr_un::sun_path)) {
    problem = path + " is too long for a local socket";
    return {};
  }
  return path;
}

platform::UniqueFd SingleInstance::lock(const std::string& path, milliseconds timeout) {
  const std::string lockPath = path + kLockSuffix;
  platform::UniqueFd file(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!file.valid()) return {};
  const Clock::time_point deadline = Clock::now() + timeout;
  while (::flock(file.get(), LOCK_EX | LOCK_NB) != 0) {
    if (Clock::now() >= deadline) return {};
    std::this_thread::sleep_for(kLockRetry);
  }
  return file;
}

long SingleInstance::peerUid(int fd) {
  ucred credentials{};
  socklen_t size = sizeof(credentials);
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0 || size != sizeof(credentials)) return -1;
  return static_cast<long>(credentials.uid);
}

SingleInstance::SingleInstance(std::string path, milliseconds checkLimit)
    : path_(std::move(path)), checkLimit_(checkLimit) {}

SingleInstance::Outcome SingleInstance::ask(int32_t message) {
  const Clock::time_point deadline = Clock::now() + checkLimit_;
  for (;;) {
    switch (attempt(message, deadline)) {
      case Attempt::NoAgent: return Outcome::NoAgent;
      case Attempt::Answered: return Outcome::Answered;
      case Attempt::NoAnswer: return Outcome::NoAnswer;
      case Attempt::Ending: break;
    }
    // The running agent was quitting: once its socket is gone, this one is the agent.
    if (remaining(deadline) == milliseconds(0)) return Outcome::NoAnswer;
    std::this_thread::sleep_for(kEndingRetry);
  }
}

SingleInstance::Attempt SingleInstance::attempt(int32_t message, Clock::time_point deadline) {
  answer_.reset();
  lock_ = lock(path_, std::min(kLockTimeout, remaining(deadline)));
  platform::UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd.valid()) return Attempt::NoAgent;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path_.c_str(), sizeof(address.sun_path) - 1);

  const Clock::time_point connectDeadline = Clock::now() + std::min(kConnectTimeout, remaining(deadline));
  while (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    // A full backlog: an agent is there but has not taken the earlier connections yet.
    if (errno != EAGAIN && errno != EINTR) return Attempt::NoAgent;
    if (Clock::now() >= connectDeadline) return Attempt::NoAnswer;
    std::this_thread::sleep_for(kConnectRetry);
  }
  const long peer = peerUid(fd.get());
  if (peer != static_cast<long>(::geteuid())) {
    writeLog(kLogWarning, LOG_FILE, __LINE__, "Ignoring %s: it is not this user's (uid %ld)\n", path_.c_str(), peer);
    return Attempt::NoAgent;
  }
  // An agent runs: the lock is for agents that may have to listen.
  lock_.reset();

  unsigned char bytes[kMessageSize];
  for (int i = 0; i < kMessageSize; ++i)
    bytes[i] = static_cast<unsigned char>(static_cast<uint32_t>(message) >> (8 * i));
  if (!waitFor(fd.get(), POLLOUT, std::min(kWriteTimeout, remaining(deadline)))) return Attempt::NoAnswer;
  if (::send(fd.get(), bytes, sizeof(bytes), MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof(bytes))) {
    return Attempt::Ending;
  }

  unsigned char reply[kMessageSize];
  size_t got = 0;
  const Clock::time_point answerDeadline = Clock::now() + std::min(kAnswerTimeout, remaining(deadline));
  while (got < sizeof(reply)) {
    if (!waitFor(fd.get(), POLLIN, remaining(answerDeadline))) return Attempt::NoAnswer;
    const ssize_t count = ::recv(fd.get(), reply + got, sizeof(reply) - got, 0);
    if (count > 0) {
      got += static_cast<size_t>(count);
    } else if (count == 0 || (errno != EINTR && errno != EAGAIN)) {
      // Closed unanswered: the agent is quitting.
      return Attempt::Ending;
    }
  }
  uint32_t value = 0;
  for (int i = 0; i < kMessageSize; ++i) value |= static_cast<uint32_t>(reply[i]) << (8 * i);
  answer_ = static_cast<InstanceAnswer>(static_cast<int32_t>(value));
  return Attempt::Answered;
}

std::string secondStartLine(SingleInstance::Outcome outcome, std::optional<InstanceAnswer> answer) {
  const std::string running = "A LUMORA agent is already running";
  if (outcome != SingleInstance::Outcome::Answered || !answer) {
    return running + ", but it did not answer in time";
  }
  switch (*answer) {
    case InstanceAnswer::WebAppOpened: return running + ": it opens its web app";
    case InstanceAnswer::NoServerYet:
      return running + ", but no server is attached to it yet: there is no web app to open (its tray says so)";
    case InstanceAnswer::StillStarting:
      return running + " and still starting: it opens its web app once it is attached to a server";
    case InstanceAnswer::TooManyRequests: return running + ": it was asked too often just now and did nothing";
    case InstanceAnswer::NotUnderstood: break;
  }
  return running + ": it did not understand the request";
}

}  // namespace lmr
