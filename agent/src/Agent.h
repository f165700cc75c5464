#pragma once

#include <QPixmap>
#include <QString>
#include <QStringList>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "agent/src/Config.h"
#include "agent/src/EngineSupervisor.h"
#include "agent/src/Json.h"
#include "agent/src/ServerChoice.h"
#include "zeroconf/src/browser.h"

namespace QBXSplashWindow {
class IWindow;
}

namespace lmr {

// One IPv4 address of a chosen network interface, as QHostAddress::toString writes them.
struct InterfaceFilter {
  QString ip;
  QString netmask;
};

// The agent's core: mode, interface filter choice, listeners, the engine server it is attached
// to and the engine process it started. One per process (instance()); tests may build their own.
class Agent {
 public:
  // Agent modes as stored in config.json "mode".
  static constexpr uint32_t kModeMaster = 1;
  static constexpr uint32_t kModeSlave = 2;
  static constexpr uint32_t kModeHybrid = 4;
  // Engine servers announce instance names that begin with this.
  static constexpr const char* kServerPrefix = "_lumora";
  // Kinds of engine server.
  static constexpr uint32_t kKindMaster = 1;
  static constexpr uint32_t kKindOther = 4;

  static constexpr std::chrono::milliseconds kDefaultTickPeriod{1000};
  static constexpr std::chrono::milliseconds kDefaultWatchdogPeriod = EngineSupervisor::kDefaultWatchdogPeriod;
  // A stopping agent waits this long for its engine process to end, then kills it.
  static constexpr std::chrono::milliseconds kEngineStopTimeout = EngineSupervisor::kDefaultStopTimeout;
  // Environment variable naming the engine process's lifeline descriptor (see startEngineProcess).
  static constexpr const char* kLifelineVariable = EngineSupervisor::kLifelineVariable;

  // Receives the agent's reports. Every call comes on a worker thread (DNS-SD poll thread, splash
  // worker, watchdog) and must not block: onAttached/onDetached run under the agent mutex, so a
  // listener hands those on to its own thread and never calls back into the agent from them.
  // onEngineDied runs with no lock held and may restart the engine.
  class Listener {
   public:
    virtual void onAttached(const std::string& address) = 0;
    virtual void onDetached(const std::string& address) = 0;
    virtual void onNotification(const std::string& text) = 0;
    virtual void onEngineDied() = 0;
    virtual ~Listener() = default;
  };

  class BrowserListener;

  // The process's agent, created on first call (from main, before any other thread exists).
  static Agent& instance();

  // Reads the mode and the hardware ids from the loaded configuration and loads the splash
  // picture; needs a QGuiApplication. Public so tests can build agents of their own.
  Agent();
  // Ends the browse and the watchdog (the process's own agent is never destroyed).
  ~Agent();
  Agent(const Agent&) = delete;
  Agent& operator=(const Agent&) = delete;

  // Listeners are called in registration order, without the listener lock held (a listener may
  // take the agent mutex). removeListener waits for calls in progress; never call it from one.
  void addListener(Listener* listener);
  void removeListener(Listener* listener);

  // Starts the search for engine servers and runs the splash window over connectSequence.
  // Returns false (the value is not used).
  bool start();
  // The search part of start: own address, browse for "_http._tcp" subtype "_ravenna". Makes no
  // DNS-SD call on the calling thread: the browse starts on the DNS-SD poll thread.
  void startSearch();
  // The search runs on a live DNS-SD service (also true when no search was started).
  [[nodiscard]] bool searchRunning() const;
  // Splash worker: looks for a server or starts the local engine by mode. A Hybrid agent then
  // keeps watching: when it has lost its server and finds none for the search time, and has no
  // engine of its own, it starts one.
  int connectSequence(QBXSplashWindow::IWindow* window);

  // Quit: the connect sequence ends at its next wait and no engine starts from now on. Returns at once.
  void requestStop();
  [[nodiscard]] bool stopRequested() const { return stopRequested_.load(); }
  // requestStop, then ends the lost-server watch and the engine process this agent started (it
  // ends when its lifeline closes; killed when still alive after kEngineStopTimeout).
  void shutdown();

  // False (nothing written) when mode equals the stored mode; else saves it.
  bool setMode(int mode);
  // The mode config.json holds now (Hybrid when it names none); the running one is mode().
  [[nodiscard]] static uint32_t storedMode();
  // False (nothing written) when the stored "server"/"ip" equals ip; else saves it.
  bool setServerIp(const QString& ip);
  // Replaces the "plugins" table by the list and saves.
  void setPluginEnabled(const std::vector<PluginEntry>& plugins);
  // Hybrid, and no engine process of this agent is running or being restarted.
  [[nodiscard]] bool canStartLocalServer() const;
  [[nodiscard]] static QString modeName(int mode);
  [[nodiscard]] uint32_t mode() const { return mode_; }

  // Attached server, copied under the agent mutex; empty texts when not attached.
  [[nodiscard]] std::string attachedAddress() const;
  [[nodiscard]] std::string attachedHost() const;
  [[nodiscard]] std::string attachedName() const;
  [[nodiscard]] QStringList hardwareIds() const;

  // Engine control.
  [[nodiscard]] std::vector<InterfaceFilter> interfaceFilters() const;
  bool startEngine(bool master);
  void stopEngine();
  // Starts this program as the engine server child. Besides its standard descriptors the child gets
  // only the read end of a lifeline pipe (named in kLifelineVariable) whose write end this agent
  // holds: the child ends as soon as this process does, whatever "--apid" checks.
  void startEngineProcess(bool master);
  [[nodiscard]] static bool isProcessAlive(int64_t pid);
  [[nodiscard]] int64_t enginePid() const { return engine_.pid(); }
  // Program started as the engine server process; default: this program's own file.
  void setEngineProgram(const QString& program);

  // HTTP API of the attached engine server.
  [[nodiscard]] std::shared_ptr<Document> get(const std::string& path);
  bool setInterfaceFilters(const QStringList& ids);

  // Consecutive failed API calls after which an attached server that has not resolved within the
  // confirm window is dropped for another found one (or the agent detaches).
  static constexpr int kApiFailuresBeforeDrop = 3;
  static constexpr std::chrono::milliseconds kDefaultResolveConfirmWindow{10000};
  void setResolveConfirmWindow(std::chrono::milliseconds window) { resolveConfirmWindow_ = window; }

  // Period of the connect sequence's rounds and of the watchdog's checks (tests shorten them).
  void setTickPeriod(std::chrono::milliseconds period) { tickPeriod_ = period; }
  void setWatchdogPeriod(std::chrono::milliseconds period) { engine_.setWatchdogPeriod(period); }

  // "<major>.<minor>.<patch> b<build>" of the running program, or "None".
  [[nodiscard]] static QString versionText();
  // ":/splash_screen" at 600 x 250 times the display scale; null when the resource is missing.
  [[nodiscard]] QPixmap& splashPixmap() { return splashPixmap_; }

  // The DNS-SD listener of the search (null before startSearch); tests drive it directly.
  [[nodiscard]] std::shared_ptr<BrowserListener> browserListener() const { return browserListener_; }

 private:
  friend class BrowserListener;

  void startServerWatch();
  void watchForLostServer();
  // Attaches to record (agent mutex held): copies it, follows it, logs, tells the listeners.
  void attachLocked(const ServiceRecord& record);
  // One API call to the server at address answered or failed (see kApiFailuresBeforeDrop).
  void noteApiResult(const std::string& address, bool answered);
  void notifyAttached(const std::string& address);
  void notifyDetached(const std::string& address);
  void notifyNotification(const std::string& text);
  void notifyEngineDied();
  void forEachListener(const std::function<void(Listener*)>& call);
  // False, at once, when a stop is requested.
  bool sleepTick() const;

  uint32_t mode_ = kModeHybrid;
  QStringList hardwareIds_;
  std::vector<Listener*> listeners_;
  int listenerCalls_ = 0;  // notifications in progress; guarded by listenersMutex_
  std::condition_variable listenersIdle_;
  mutable std::mutex listenersMutex_;  // never held while a listener runs
  mutable std::mutex mutex_;
  std::shared_ptr<zeroconf::browser> browse_;
  std::shared_ptr<BrowserListener> browserListener_;
  ServiceRecord attached_;  // address empty: not attached
  // Last time the attached server was attached or resolved again; failed API calls since.
  std::chrono::steady_clock::time_point attachedConfirmed_;
  int apiFailures_ = 0;
  // The listener that reported the servers last (the search's own, or one a test drives); it
  // clears this when it goes.
  BrowserListener* reportingListener_ = nullptr;
  std::atomic<std::chrono::milliseconds> resolveConfirmWindow_{kDefaultResolveConfirmWindow};
  std::thread serverWatch_;
  std::atomic<bool> stopRequested_{false};
  mutable std::mutex stopMutex_;
  mutable std::condition_variable stopWake_;
  QPixmap splashPixmap_;
  std::atomic<std::chrono::milliseconds> tickPeriod_{kDefaultTickPeriod};
  // The engine process this agent started. Last: its watchdog reports into the listeners above
  // until it is joined, first thing after the destructor's body.
  EngineSupervisor engine_{[this] { notifyEngineDied(); }};
};

// Receives the browse's answers on the DNS-SD poll thread and applies the attachment rules.
class Agent::BrowserListener : public zeroconf::browser_listener {
 public:
  explicit BrowserListener(Agent* agent) : agent_(agent) {}
  ~BrowserListener() override;
  BrowserListener(const BrowserListener&) = delete;
  BrowserListener& operator=(const BrowserListener&) = delete;

  void service_resolved(uint32_t interface_index, const char* name, const char* regtype, const char* host_name,
                        const char* address, uint16_t port, const std::vector<std::string>& txt_entries) override;
  void service_removed(uint32_t interface_index, const char* name, const char* regtype) override;

  // Own IPv4 address: config "server"/"ip", else the outgoing interface's, else the first up,
  // non-loopback interface's, else "0.0.0.0".
  void resolveLocalAddress();
  [[nodiscard]] std::string ownAddress() const;
  // Names of the servers found so far, in name order, once per interface each is seen on
  // (copied under the agent mutex).
  [[nodiscard]] std::vector<std::string> serviceNames() const;
  // Stops all further calls into the agent (before the agent goes away).
  void detachAgent();

 private:
  friend class Agent;

  // The own address, or an address of one of this host's interfaces.
  [[nodiscard]] bool isOwnAddress(const std::string& ip) const;
  // Agent mutex held, the map updated for the report: asks chooseServer and acts on its answer.
  void chooseLocked(Agent& agent, ServerEvent event, const ServerKey& key);
  // Agent mutex held: forgets the attached server (until it resolves again) and chooses another.
  void dropAttachedLocked(Agent& agent);

  mutable std::mutex agentMutex_;  // guards agent_ itself; taken before the agent mutex
  Agent* agent_;
  std::string ownAddress_;
  FoundServers services_;  // guarded by the agent mutex
};

}  // namespace lmr
