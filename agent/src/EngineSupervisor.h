#pragma once

#include <QString>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/file_descriptor.h"

namespace lmr {

// The engine server process an agent starts: its start with a lifeline, the watchdog thread that
// reports its death, and its stop. Thread-safe.
//
// Locks: mutex_, then a watchdog's WatchdogState::mutex. mutex_ is held while a replaced watchdog
// is joined, whose death report may take any lock of its receiver: never call into the supervisor
// with one of the receiver's locks held.
class EngineSupervisor {
 public:
  static constexpr std::chrono::milliseconds kDefaultWatchdogPeriod{3000};
  // A stop waits this long for the process to end by itself, then kills it.
  static constexpr std::chrono::milliseconds kDefaultStopTimeout{3000};
  // Environment variable naming the process's lifeline descriptor (see start).
  static constexpr const char* kLifelineVariable = "LUMORA_AGENT_LIFELINE_FD";

  // Called on the watchdog thread with no lock held, once per death of a started process (a
  // failed start reads as a death after one period). It may call start again.
  using DeathReport = std::function<void()>;

  explicit EngineSupervisor(DeathReport reportDeath);
  // Refuses further starts (also a restart from a death report in progress) and joins the
  // watchdogs. The process ends by itself when its lifeline closes with this object.
  ~EngineSupervisor();
  EngineSupervisor(const EngineSupervisor&) = delete;
  EngineSupervisor& operator=(const EngineSupervisor&) = delete;

  // Starts the program as the engine server child ("--server 1 --apid <own pid>", then
  // "--master 1" for a master) and a new watchdog, unless starts are refused or the last started
  // process still lives. Besides its standard descriptors the child gets only the read end of a
  // lifeline pipe (named in kLifelineVariable) whose write end this object holds: the child ends
  // as soon as this process does, whatever "--apid" checks.
  void start(bool master);
  // Ends the watchdog without a report and closes the lifeline; kills the process when it is still
  // alive after the stop timeout. Waits for that, without the lock.
  void stop();
  // No start goes through from now on. Returns at once.
  void refuseStarts();

  // The started process's id; 0 before a start and once its death is reported or it is stopped.
  // A failed start keeps the previous value.
  [[nodiscard]] int64_t pid() const { return pid_.load(); }
  // A start has been made, whatever became of it.
  [[nodiscard]] bool started() const;
  // A watchdog runs and has not yet reported its process's death.
  [[nodiscard]] bool watched() const;

  // Program to start; default: this program's own file.
  void setProgram(const QString& program);
  // Period of the watchdog's checks, and the stop's wait before the kill (tests shorten them).
  void setWatchdogPeriod(std::chrono::milliseconds period) { watchdogPeriod_ = period; }
  void setStopTimeout(std::chrono::milliseconds timeout) { stopTimeout_ = timeout; }

 private:
  struct WatchdogState;

  void watch(const std::shared_ptr<WatchdogState>& state);
  void stopWatchdogLocked();

  const DeathReport reportDeath_;
  std::atomic<bool> startsRefused_{false};
  std::atomic<int64_t> pid_{0};
  std::atomic<std::chrono::milliseconds> watchdogPeriod_{kDefaultWatchdogPeriod};
  std::atomic<std::chrono::milliseconds> stopTimeout_{kDefaultStopTimeout};
  mutable std::mutex mutex_;  // guards the members below
  QString program_;
  bool started_ = false;
  platform::UniqueFd lifeline_;
  std::thread watchdog_;
  std::shared_ptr<WatchdogState> watchdogState_;
  std::thread retiredWatchdog_;  // replaced from its own death report; joined later
};

}  // namespace lmr
