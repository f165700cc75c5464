#include <QCoreApplication>
#include <QHostAddress>
#include <QNetworkInterface>

#include <csignal>

#include "agent/src/Agent.h"
#include "engine/include/TaviskEngine.h"
#include "log/console_log.h"
#include "platform/process.h"

namespace lmr {
namespace {

constexpr int kEngineRoleMaster = 3;
constexpr int kEngineRoleOther = 1;
constexpr const char* kAllInterfaces = "0";
constexpr std::chrono::milliseconds kEngineStopPoll{20};

}  // namespace

// Shared by a watchdog thread and the agent, so the agent can end it without waiting a period.
struct Agent::WatchdogState {
  std::mutex mutex;
  std::condition_variable wake;
  bool stop = false;
  bool ended = false;  // the death is reported: the thread is about to end
  int64_t pid = 0;     // the engine this watchdog watches
};

std::vector<InterfaceFilter> Agent::interfaceFilters() const {
  const QStringList ids = hardwareIds();
  std::vector<InterfaceFilter> filters;
  if (ids.size() == 1 && ids.front() == kAllInterfaces) return filters;
  const QList<QNetworkInterface> interfaces = QNetworkInterface::allInterfaces();
  for (const QString& id : ids) {
    for (const QNetworkInterface& interface : interfaces) {
      const auto flags = interface.flags();
      if (!flags.testFlag(QNetworkInterface::IsUp) || flags.testFlag(QNetworkInterface::IsLoopBack)) continue;
      for (const QNetworkAddressEntry& entry : interface.addressEntries()) {
        if (entry.ip().protocol() != QAbstractSocket::IPv4Protocol) continue;
        // Only the first IPv4 address of a matching interface counts.
        if (interface.hardwareAddress() == id) filters.push_back({entry.ip().toString(), entry.netmask().toString()});
        break;
      }
    }
  }
  return filters;
}

bool Agent::startEngine(bool master) {
  for (const InterfaceFilter& filter : interfaceFilters()) {
    TVSK_AddInterfaceFilter(filter.ip.toUtf8().constData(), filter.netmask.toUtf8().constData());
  }
  return TVSK_Initialize(-1, 0, master ? kEngineRoleMaster : kEngineRoleOther) == 0;
}

void Agent::stopEngine() { TVSK_Uninitialize(); }

bool Agent::isProcessAlive(int64_t pid) { return platform::isProcessAlive(pid); }

void Agent::setEngineProgram(const QString& program) {
  std::lock_guard<std::mutex> lock(mutex_);
  engineProgram_ = program;
}

void Agent::startEngineProcess(bool master) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (stopRequested_.load()) return;
  // A second engine beside a live one would fight over the port and the announcement; and the
  // old watchdog could not be joined while its engine lives.
  const int64_t running = enginePid_.load();
  if (running != 0 && isProcessAlive(running)) {
    writeLog(kLogWarning, LOG_FILE, __LINE__, "Engine process is already running\n");
    return;
  }
  std::vector<std::string> arguments{"--server", "1", "--apid", std::to_string(QCoreApplication::applicationPid())};
  if (master) arguments.insert(arguments.end(), {"--master", "1"});
  const QString program = engineProgram_.isEmpty() ? QCoreApplication::applicationFilePath() : engineProgram_;
  engineStarted_ = true;
  // Copied only on success: a failed start keeps the previous id.
  if (auto child = platform::startDetachedWithLifeline(program.toStdString(), arguments, kLifelineVariable)) {
    enginePid_ = child->pid;
    engineLifeline_ = std::move(child->lifeline);
    writeLog(kLogInfo, LOG_FILE, __LINE__, "Engine process has started\n");
  } else {
    writeLog(kLogError, LOG_FILE, __LINE__, "Failed to create engine process\n");
  }
  stopWatchdogLocked();
  auto state = std::make_shared<WatchdogState>();
  state->pid = enginePid_.load();
  watchdogState_ = state;
  watchdog_ = std::thread([this, state] { watchEngine(state); });
}

void Agent::stopWatchdogLocked() {
  if (!watchdog_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(watchdogState_->mutex);
    watchdogState_->stop = true;
  }
  watchdogState_->wake.notify_all();
  // A listener that restarts the engine from its own onEngineDied runs on the watchdog thread,
  // which still has its report to finish: it is joined later.
  if (watchdog_.get_id() == std::this_thread::get_id()) {
    if (retiredWatchdog_.joinable()) retiredWatchdog_.join();
    retiredWatchdog_ = std::move(watchdog_);
  } else {
    watchdog_.join();
  }
  watchdogState_.reset();
}

bool Agent::engineWatchedLocked() const {
  if (!watchdog_.joinable()) return false;
  std::lock_guard<std::mutex> lock(watchdogState_->mutex);
  return !watchdogState_->ended;
}

void Agent::stopEngineProcess() {
  int64_t pid = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopWatchdogLocked();  // its death is no news now
    // The engine sees its lifeline end and stops by itself.
    engineLifeline_.reset();
    pid = enginePid_.exchange(0);
  }
  const auto deadline = std::chrono::steady_clock::now() + kEngineStopTimeout;
  while (isProcessAlive(pid) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(kEngineStopPoll);
  }
  if (isProcessAlive(pid)) ::kill(static_cast<pid_t>(pid), SIGKILL);
}

void Agent::watchEngine(const std::shared_ptr<WatchdogState>& state) {
  {
    std::unique_lock<std::mutex> lock(state->mutex);
    for (;;) {
      // Replaced by a newer engine, or the agent is going away: end without a report.
      if (state->wake.wait_for(lock, watchdogPeriod_.load(), [&state] { return state->stop; })) return;
      if (!isProcessAlive(state->pid)) break;
    }
  }
  int64_t expected = state->pid;
  enginePid_.compare_exchange_strong(expected, 0);
  writeLog(kLogInfo, LOG_FILE, __LINE__, "Engine process died\n");
  notifyEngineDied();
  std::lock_guard<std::mutex> lock(state->mutex);
  state->ended = true;
}

}  // namespace lmr
