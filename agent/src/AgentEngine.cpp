#include <QCoreApplication>
#include <QHostAddress>
#include <QNetworkInterface>
#include <QProcess>

#include "agent/src/Agent.h"
#include "engine/include/TaviskEngine.h"
#include "log/console_log.h"
#include "platform/process.h"

namespace lmr {
namespace {

constexpr int kEngineRoleMaster = 3;
constexpr int kEngineRoleOther = 1;
constexpr const char* kAllInterfaces = "0";

}  // namespace

// Shared by a watchdog thread and the agent, so the agent can end it without waiting a period.
struct Agent::WatchdogState {
  std::mutex mutex;
  std::condition_variable wake;
  bool stop = false;
  int64_t pid = 0;  // the engine this watchdog watches
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
  // A second engine beside a live one would fight over the port and the announcement; and the
  // old watchdog could not be joined while its engine lives.
  const int64_t running = enginePid_.load();
  if (running != 0 && isProcessAlive(running)) {
    writeLog(4, LOG_FILE, __LINE__, "Engine process is already running\n");
    return;
  }
  QStringList arguments{"--server", "1", "--apid", QString::number(QCoreApplication::applicationPid())};
  if (master) arguments << "--master" << "1";
  const QString program = engineProgram_.isEmpty() ? QCoreApplication::applicationFilePath() : engineProgram_;
  qint64 pid = 0;  // copied only on success: a failed start keeps the previous id
  if (QProcess::startDetached(program, arguments, QString(), &pid)) {
    enginePid_ = pid;
    writeLog(6, LOG_FILE, __LINE__, "Engine process has started\n");
  } else {
    writeLog(3, LOG_FILE, __LINE__, "Failed to create engine process\n");
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
  // A listener that restarts the engine from its own onEngineDied runs on the watchdog thread.
  if (watchdog_.get_id() == std::this_thread::get_id()) {
    watchdog_.detach();
  } else {
    watchdog_.join();
  }
  watchdogState_.reset();
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
  writeLog(6, LOG_FILE, __LINE__, "Engine process died\n");
  notifyEngineDied();
}

}  // namespace lmr
