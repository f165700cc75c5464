#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/file_descriptor.h"

namespace lmr {

// What the running agent answers an agent started after it, as a little-endian 32-bit number.
enum class InstanceAnswer : int32_t {
  WebAppOpened = 0,     // it opens the web app of its server
  NoServerYet = 1,      // no server attached: it says so in its tray
  StillStarting = 2,    // its start-up is not done; the web app opens once it attaches
  TooManyRequests = 3,  // asked too often within the last second: nothing done
  NotUnderstood = 4,
};

// Where the tray agents of one user meet: a local socket in a folder of that user's alone, with
// a lock file beside it. Used before any Qt object exists, so a second agent ends without
// opening the display.
class SingleInstance {
 public:
  static constexpr const char* kName = "lumora_agent_singleton";
  static constexpr const char* kLockSuffix = ".lock";
  // Agents started together wait this long at most for each other's check-and-listen.
  static constexpr std::chrono::milliseconds kLockTimeout{3000};
  static constexpr std::chrono::milliseconds kConnectTimeout{500};
  static constexpr std::chrono::milliseconds kWriteTimeout{1000};
  static constexpr std::chrono::milliseconds kAnswerTimeout{2000};
  // The whole check of a later agent, retries after an agent that was ending included.
  static constexpr std::chrono::milliseconds kCheckLimit{5000};
  static constexpr int kMessageSize = 4;

  // $XDG_RUNTIME_DIR when it is a folder of this user's that nobody else may enter, else
  // "<temp folder>/lumora-<uid>", created with mode 0700 and checked the same way: another local
  // user can neither put a socket there nor hold the lock. Empty, with problem set, when neither
  // can be had.
  [[nodiscard]] static std::string folder(std::string& problem);
  // folder()/kName; empty, with problem set, without a folder or when the path is too long for a
  // local socket.
  [[nodiscard]] static std::string socketPath(std::string& problem);

  // The instance lock beside the socket at path, waited for up to timeout; invalid when it could
  // not be had.
  [[nodiscard]] static platform::UniqueFd lock(const std::string& path, std::chrono::milliseconds timeout);

  enum class Outcome {
    NoAgent,   // nobody (of this user) listens: this process is the agent, and holds the lock
    Answered,  // the running agent took the message and answered
    NoAnswer,  // an agent took the connection but answered nothing within the time
  };

  // A later agent's check: takes the lock, connects to the socket at path (a socket of another
  // user is ignored), sends message and waits for the answer. An agent that is ending closes the
  // connection unanswered: then the check starts again, until it finds no agent. All within
  // kCheckLimit.
  explicit SingleInstance(std::string path, std::chrono::milliseconds checkLimit = kCheckLimit);
  Outcome ask(int32_t message);
  [[nodiscard]] std::optional<InstanceAnswer> answer() const { return answer_; }
  // After NoAgent: the lock, for the listening guard to let go once it listens.
  [[nodiscard]] platform::UniqueFd takeLock() { return std::move(lock_); }

  // The uid of the process at the other end of a connected local socket; -1 when unknown.
  [[nodiscard]] static long peerUid(int fd);

 private:
  enum class Attempt { NoAgent, Answered, NoAnswer, Ending };
  Attempt attempt(int32_t message, std::chrono::steady_clock::time_point deadline);

  std::string path_;
  std::chrono::milliseconds checkLimit_;
  platform::UniqueFd lock_;
  std::optional<InstanceAnswer> answer_;
};

// The line the later agent prints for what happened.
[[nodiscard]] std::string secondStartLine(SingleInstance::Outcome outcome, std::optional<InstanceAnswer> answer);

}  // namespace lmr
