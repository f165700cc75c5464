#include "agent/src/Agent.h"

#include <QPixmap>

#include <algorithm>

#include "agent/src/ConnectRound.h"
#include "agent/src/SplashWindow.h"
#include "agent/src/Version.h"
#include "log/console_log.h"
#include "zeroconf/src/client.h"

namespace lmr {
namespace {

constexpr const char* kServiceType = "_http._tcp";
constexpr const char* kServiceSubtype = "_ravenna";
constexpr int kSplashWidth = 600;
constexpr int kSplashHeight = 250;
constexpr const char* kAllInterfaces = "0";

void logEngineStart(uint32_t mode) {
  writeLog(kLogInfo, LOG_FILE, __LINE__, "Starting LUMORA Engine process as agent mode has been set to \"%s\"\n",
           Agent::modeName(static_cast<int>(mode)).toStdString().c_str());
}

}  // namespace

Agent& Agent::instance() {
  // Never destroyed: worker threads may still report while the program ends.
  static Agent* const agent = new Agent();
  return *agent;
}

Agent::Agent() {
  const Config& config = Config::instance();
  mode_ = storedMode();
  if (const Value* filtering = config.find({"discovery", "filtering"}); filtering != nullptr && filtering->IsArray()) {
    for (const Value& element : filtering->GetArray()) {
      if (!element.IsObject()) continue;
      const auto id = element.FindMember("hardware_id");
      if (id != element.MemberEnd() && id->value.IsString())
        hardwareIds_.append(QString::fromUtf8(id->value.GetString(), static_cast<int>(id->value.GetStringLength())));
    }
  }
  if (hardwareIds_.isEmpty()) hardwareIds_.append(kAllInterfaces);
  const QPixmap picture(":/splash_screen");
  if (!picture.isNull()) {
    splashPixmap_ =
        picture.scaled(static_cast<int>(kSplashWidth * dpiScale), static_cast<int>(kSplashHeight * dpiScale),
                       Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
  }
}

Agent::~Agent() {
  if (browserListener_) browserListener_->detachAgent();
  std::shared_ptr<zeroconf::browser> browse;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    browse = std::move(browse_);
  }
  browse.reset();
  requestStop();
  if (serverWatch_.joinable()) serverWatch_.join();
  // The engine supervisor, destroyed first of the members, joins its watchdogs.
}

void Agent::addListener(Listener* listener) {
  std::lock_guard<std::mutex> lock(listenersMutex_);
  listeners_.push_back(listener);
}

void Agent::removeListener(Listener* listener) {
  std::unique_lock<std::mutex> lock(listenersMutex_);
  listeners_.erase(std::remove(listeners_.begin(), listeners_.end(), listener), listeners_.end());
  listenersIdle_.wait(lock, [this] { return listenerCalls_ == 0; });
}

void Agent::forEachListener(const std::function<void(Listener*)>& call) {
  std::vector<Listener*> listeners;
  {
    std::lock_guard<std::mutex> lock(listenersMutex_);
    listeners = listeners_;
    ++listenerCalls_;
  }
  // Unlocked: a listener restarting the engine takes the agent mutex, which the attachment
  // reports come with.
  for (Listener* listener : listeners) call(listener);
  {
    std::lock_guard<std::mutex> lock(listenersMutex_);
    --listenerCalls_;
  }
  listenersIdle_.notify_all();
}

void Agent::notifyAttached(const std::string& address) {
  forEachListener([&address](Listener* listener) { listener->onAttached(address); });
}

void Agent::notifyDetached(const std::string& address) {
  forEachListener([&address](Listener* listener) { listener->onDetached(address); });
}

void Agent::notifyNotification(const std::string& text) {
  forEachListener([&text](Listener* listener) { listener->onNotification(text); });
}

void Agent::notifyEngineDied() {
  forEachListener([](Listener* listener) { listener->onEngineDied(); });
}

void Agent::startSearch() {
  std::shared_ptr<zeroconf::client> client(zeroconf::create_client(-1));
  auto listener = std::make_shared<BrowserListener>(this);
  listener->resolveLocalAddress();
  browserListener_ = listener;
  // Started on the DNS-SD poll thread: a daemon that does not answer would hold this (GUI) thread
  // for D-Bus's 25 s. The browse operation keeps the client alive.
  // Only engine servers are resolved: the devices of a RAVENNA network announce the same type.
  auto browse = client->browse_in_background(kServiceType, kServiceSubtype, kServerPrefix, listener);
  std::lock_guard<std::mutex> lock(mutex_);
  browse_ = std::move(browse);
}

bool Agent::searchRunning() const {
  std::lock_guard<std::mutex> lock(mutex_);
  // Without a browse (no DNS-SD library) there is nothing to wait for.
  return !browse_ || browse_->running();
}

bool Agent::start() {
  startSearch();
  QBXSplashWindow::run(nullptr, QSize(kSplashWidth, kSplashHeight), &splashPixmap_, "Version " + versionText(),
                       [this](QBXSplashWindow::IWindow* window) { return connectSequence(window); });
  return false;
}

bool Agent::sleepTick() const {
  std::unique_lock<std::mutex> lock(stopMutex_);
  return !stopWake_.wait_for(lock, tickPeriod_.load(), [this] { return stopRequested_.load(); });
}

void Agent::requestStop() {
  {
    std::lock_guard<std::mutex> lock(stopMutex_);
    stopRequested_ = true;
  }
  stopWake_.notify_all();
  engine_.refuseStarts();
}

void Agent::shutdown() {
  requestStop();
  std::thread watch;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    watch = std::move(serverWatch_);
  }
  if (watch.joinable()) watch.join();
  engine_.stop();
}

void Agent::startServerWatch() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (serverWatch_.joinable() || stopRequested_.load()) return;
  serverWatch_ = std::thread([this] { watchForLostServer(); });
}

void Agent::watchForLostServer() {
  LostServerWatch watch;
  watch.hadServer = !attachedAddress().empty();
  while (sleepTick()) {
    const WatchRound round = decideWatchRound(watch, !attachedAddress().empty(), searchRunning(), engine_.started());
    watch = round.next;
    if (round.action != WatchAction::StartEngine) continue;
    writeLog(kLogInfo, LOG_FILE, __LINE__, "Could not find LUMORA engine in the network\n");
    logEngineStart(mode_);
    startEngineProcess(false);
  }
}

int Agent::connectSequence(QBXSplashWindow::IWindow* window) {
  auto show = [window](const std::string& text) {
    if (window != nullptr) window->setMessage(QString::fromStdString(text));
  };
  for (int tick = 0;; ++tick) {
    if (tick > 0 && !sleepTick()) return 0;
    const RoundAction action = decideRound(tick, !attachedAddress().empty(), mode_);
    switch (action) {
      case RoundAction::StartMaster:
        show("Master: Creating LUMORA local server in the network...");
        logEngineStart(mode_);
        startEngineProcess(true);
        break;
      case RoundAction::Search:
        writeLog(kLogInfo, LOG_FILE, __LINE__, "Looking for LUMORA Engine in the network...\n");
        show(std::string(mode_ == kModeSlave ? "Slave: " : "Hybrid: ") + "Looking for LUMORA Server in the network...");
        if (mode_ == kModeHybrid) startServerWatch();
        break;
      case RoundAction::Connected:
      case RoundAction::Attached: show("Connected to LUMORA server. Please wait..."); break;
      case RoundAction::GiveUp:
        writeLog(kLogInfo, LOG_FILE, __LINE__, "Could not find LUMORA engine in the network\n");
        notifyNotification("Could not find LUMORA server in the network");
        break;
      case RoundAction::StartEngine:
        writeLog(kLogInfo, LOG_FILE, __LINE__, "Could not find LUMORA engine in the network\n");
        logEngineStart(mode_);
        show("Starting LUMORA local server. Please wait...");
        startEngineProcess(false);
        break;
      case RoundAction::Wait:
      case RoundAction::Done: break;
    }
    if (endsSequence(action)) return 0;
  }
}

uint32_t Agent::storedMode() {
  const Value* mode = Config::instance().find({"mode"});
  if (mode == nullptr) return kModeHybrid;
  // A null or non-numeric mode counts as 0: no search and no engine.
  return mode->IsInt() ? static_cast<uint32_t>(mode->GetInt()) : mode->IsUint() ? mode->GetUint() : 0;
}

bool Agent::setMode(int mode) {
  Config& config = Config::instance();
  // Compared with the file as it is now: someone may have edited it meanwhile.
  config.refresh();
  if (static_cast<uint32_t>(mode) == storedMode()) return false;
  config.findOrCreate({"mode"}).SetInt(mode);
  config.save();
  return true;
}

bool Agent::setServerIp(const QString& ip) {
  Config& config = Config::instance();
  config.refresh();
  const std::string wanted = ip.toStdString();
  if (config.findText({"server", "ip"}).value_or(std::string()) == wanted) return false;
  config.findOrCreate({"server", "ip"}).SetString(wanted, config.allocator());
  config.save();
  return true;
}

void Agent::setPluginEnabled(const std::vector<PluginEntry>& plugins) { Config::instance().setPluginTable(plugins); }

bool Agent::canStartLocalServer() const { return mode_ == kModeHybrid && !engine_.watched(); }

QString Agent::modeName(int mode) {
  switch (mode) {
    case static_cast<int>(kModeMaster): return "Master";
    case static_cast<int>(kModeSlave): return "Slave";
    case static_cast<int>(kModeHybrid): return "Hybrid";
    default: return "?";
  }
}

std::string Agent::attachedAddress() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return attached_.address;
}

std::string Agent::attachedHost() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return attached_.host;
}

std::string Agent::attachedName() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return attached_.name;
}

QStringList Agent::hardwareIds() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return hardwareIds_;
}

QString Agent::versionText() {
  VersionInfo info;
  readVersion(info);
  return QString::fromLatin1(versionString(info).c_str());
}

}  // namespace lmr
