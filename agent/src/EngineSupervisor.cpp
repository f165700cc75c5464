#include "agent/src/EngineSupervisor.h"

#include <QCoreApplication>

#include <csignal>

#include <condition_variable>
#include <string>
#include <utility>
#include <vector>

#include "log/console_log.h"
#include "platform/detached_process.h"
#include "platform/process.h"

namespace lmr {
namespace {

constexpr std::chrono::milliseconds kStopPoll{20};

}  // namespace

// Shared by a watchdog thread and the supervisor, so the supervisor can end it without waiting a
// period.
struct EngineSupervisor::WatchdogState {
  std::mutex mutex;
  std::condition_variable wake;
  bool stop = false;
  bool ended = false;  // the death is reported: the thread is about to end
  int64_t pid = 0;     // the process this watchdog watches

  // The watchdog ends at once, without a report unless it is making one.
  void requestStop() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      stop = true;
    }
    wake.notify_all();
  }
};

EngineSupervisor::EngineSupervisor(DeathReport reportDeath) : reportDeath_(std::move(reportDeath)) {}

EngineSupervisor::~EngineSupervisor() {
  refuseStarts();
  std::thread retired;
  std::thread watchdog;
  std::shared_ptr<WatchdogState> state;
  {
    // No watchdog starts or retires from now on: every restart is refused.
    std::lock_guard<std::mutex> lock(mutex_);
    retired = std::move(retiredWatchdog_);
    watchdog = std::move(watchdog_);
    state = std::move(watchdogState_);
  }
  if (state) state->requestStop();
  // Joined unlocked: a restart from a death report in progress must find the lock free to be refused.
  if (retired.joinable()) retired.join();
  if (watchdog.joinable()) watchdog.join();
}

void EngineSupervisor::refuseStarts() { startsRefused_ = true; }

bool EngineSupervisor::started() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return started_;
}

bool EngineSupervisor::watched() const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!watchdog_.joinable()) return false;
  std::lock_guard<std::mutex> stateLock(watchdogState_->mutex);
  return !watchdogState_->ended;
}

void EngineSupervisor::setProgram(const QString& program) {
  std::lock_guard<std::mutex> lock(mutex_);
  program_ = program;
}

void EngineSupervisor::start(bool master) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (startsRefused_.load()) return;
  // A second engine beside a live one would fight over the port and the announcement; and the
  // old watchdog could not be joined while its engine lives.
  const int64_t running = pid_.load();
  if (running != 0 && platform::isProcessAlive(running)) {
    writeLog(kLogWarning, LOG_FILE, __LINE__, "Engine process is already running\n");
    return;
  }
  std::vector<std::string> arguments{"--server", "1", "--apid", std::to_string(QCoreApplication::applicationPid())};
  if (master) arguments.insert(arguments.end(), {"--master", "1"});
  const QString program = program_.isEmpty() ? QCoreApplication::applicationFilePath() : program_;
  started_ = true;
  // Copied only on success: a failed start keeps the previous id.
  if (auto child = platform::startDetachedWithLifeline(program.toStdString(), arguments, kLifelineVariable)) {
    pid_ = child->pid;
    lifeline_ = std::move(child->lifeline);
    writeLog(kLogInfo, LOG_FILE, __LINE__, "Engine process has started\n");
  } else {
    writeLog(kLogError, LOG_FILE, __LINE__, "Failed to create engine process\n");
  }
  stopWatchdogLocked();
  auto state = std::make_shared<WatchdogState>();
  state->pid = pid_.load();
  watchdogState_ = state;
  watchdog_ = std::thread([this, state] { watch(state); });
}

void EngineSupervisor::stopWatchdogLocked() {
  if (!watchdog_.joinable()) return;
  watchdogState_->requestStop();
  // A receiver that restarts the engine from its death report runs on the watchdog thread, which
  // still has its report to finish: it is joined later.
  if (watchdog_.get_id() == std::this_thread::get_id()) {
    if (retiredWatchdog_.joinable()) retiredWatchdog_.join();
    retiredWatchdog_ = std::move(watchdog_);
  } else {
    watchdog_.join();
  }
  watchdogState_.reset();
}

void EngineSupervisor::stop() {
  int64_t pid = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopWatchdogLocked();  // its death is no news now
    // The engine sees its lifeline end and stops by itself.
    lifeline_.reset();
    pid = pid_.exchange(0);
  }
  const auto deadline = std::chrono::steady_clock::now() + stopTimeout_.load();
  while (platform::isProcessAlive(pid) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(kStopPoll);
  }
  if (platform::isProcessAlive(pid)) ::kill(static_cast<pid_t>(pid), SIGKILL);
}

void EngineSupervisor::watch(const std::shared_ptr<WatchdogState>& state) {
  {
    std::unique_lock<std::mutex> lock(state->mutex);
    for (;;) {
      // Replaced by a newer engine, or the supervisor is going away: end without a report.
      if (state->wake.wait_for(lock, watchdogPeriod_.load(), [&state] { return state->stop; })) return;
      if (!platform::isProcessAlive(state->pid)) break;
    }
  }
  int64_t expected = state->pid;
  pid_.compare_exchange_strong(expected, 0);
  writeLog(kLogInfo, LOG_FILE, __LINE__, "Engine process died\n");
  reportDeath_();
  std::lock_guard<std::mutex> lock(state->mutex);
  state->ended = true;
}

}  // namespace lmr
