#include "agent/src/Agent.h"

#include <QPixmap>

#include <algorithm>

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
constexpr int kLastSearchRound = 3;  // no server by then: notify (Slave) or start our own (Hybrid)
constexpr int kSearchRounds = 16;
constexpr int kMasterStartTicks = 4;  // the master's splash stays while its engine comes up
constexpr const char* kAllInterfaces = "0";

std::string modeLabel(uint32_t mode) { return Agent::modeName(static_cast<int>(mode)).toStdString(); }

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
  bool hadServer = !attachedAddress().empty();
  int lostRounds = 0;
  while (sleepTick()) {
    if (!attachedAddress().empty()) {
      hadServer = true;
      lostRounds = 0;
      continue;
    }
    // While DNS-SD is away (a restarting daemon) every server reads as lost: those rounds do not
    // count, and once it runs again the search gets its full time.
    if (!searchRunning()) {
      lostRounds = 0;
      continue;
    }
    // The search time of the connect sequence, counted from the first round without a server.
    if (!hadServer || lostRounds++ < kLastSearchRound) continue;
    hadServer = false;
    lostRounds = 0;
    // An engine of our own that died is the tray's to restart or give up.
    if (engine_.started()) continue;
    writeLog(kLogInfo, LOG_FILE, __LINE__, "Could not find LUMORA engine in the network\n");
    writeLog(kLogInfo, LOG_FILE, __LINE__, "Starting LUMORA Engine process as agent mode has been set to \"%s\"\n",
             modeLabel(mode_).c_str());
    startEngineProcess(false);
  }
}

int Agent::connectSequence(QBXSplashWindow::IWindow* window) {
  auto show = [window](const char* text) {
    if (window != nullptr) window->setMessage(QString::fromLatin1(text));
  };
  if (mode_ == kModeMaster) {
    show("Master: Creating LUMORA local server in the network...");
    writeLog(kLogInfo, LOG_FILE, __LINE__, "Starting LUMORA Engine process as agent mode has been set to \"%s\"\n",
             modeLabel(mode_).c_str());
    startEngineProcess(true);
    for (int tick = 0; tick < kMasterStartTicks && sleepTick(); ++tick) {
    }
    return 0;
  }
  if (mode_ != kModeSlave && mode_ != kModeHybrid) return 0;

  writeLog(kLogInfo, LOG_FILE, __LINE__, "Looking for LUMORA Engine in the network...\n");
  const std::string prefix = mode_ == kModeSlave ? "Slave: " : "Hybrid: ";
  show((prefix + "Looking for LUMORA Server in the network...").c_str());
  if (mode_ == kModeHybrid) startServerWatch();
  for (int round = 0;;) {
    if (!sleepTick()) return 0;
    if (!attachedAddress().empty()) {
      show("Connected to LUMORA server. Please wait...");
      if (round > kLastSearchRound) return 0;
    } else if (round == kLastSearchRound) {
      writeLog(kLogInfo, LOG_FILE, __LINE__, "Could not find LUMORA engine in the network\n");
      if (mode_ == kModeSlave) {
        notifyNotification("Could not find LUMORA server in the network");
        return 0;
      }
      writeLog(kLogInfo, LOG_FILE, __LINE__, "Starting LUMORA Engine process as agent mode has been set to \"%s\"\n",
               modeLabel(mode_).c_str());
      show("Starting LUMORA local server. Please wait...");
      startEngineProcess(false);
    }
    if (++round == kSearchRounds) return 0;
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
