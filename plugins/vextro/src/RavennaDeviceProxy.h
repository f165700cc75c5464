#pragma once

// One proxy per device the engine hands to the plug-in: reads the device's pages at construction
// and then every refresh period on its own thread, keeps the device state and reports each change
// through its change signal. The refresh work of all proxies runs one after another under one
// global lock (live-proxy list lock, then the proxy's own lock, always in that order).
//
// The engine changes a device through action lists (streamers, receivers, sample rate). Each
// action routine holds the proxy's lock for its whole run, device writes included, and reports
// failures only in the plug-in log. A receiver is created in two steps: its slot is written and a
// set-up request queued; a later refresh cycle connects it to the device's session of that name
// and enables it. A request whose session never shows up never expires: it stays queued and its
// slot taken while the proxy lives, and as the slot is not enabled the engine does not see it
// listed; only a DeleteReceiver naming that slot drops it.
//
// Change callbacks run synchronously with the proxy's lock held (and the live-proxy list lock on
// the refresh thread). Inside one, no call may reach any proxy, and no proxy may be created or
// deleted; the entry functions refuse such calls with an error line (see PluginEntries.h).

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <boost/signals2/signal.hpp>

#include "plugins/vextro/src/Codecs.h"
#include "plugins/vextro/src/DeviceConfig.h"
#include "plugins/vextro/src/DeviceState.h"
#include "plugins/vextro/src/JsonCompat.h"
#include "plugins/vextro/src/PageClient.h"
#include "plugins/vextro/src/RefreshInputs.h"
#include "plugins/vextro/src/SessionList.h"
#include "plugins/vextro/src/Timings.h"

namespace Vextro {

// Carries the compact change-record text; slots run synchronously in connection order.
using ChangeSignal = boost::signals2::signal<void(const std::string&)>;

// A receiver set-up queued for a slot until the device knows the stream.
struct AutoConfigureRequest {
  std::string streamName;
  uint32_t startChannel = 0;
  uint32_t channelCount = 0;
};

class RavennaDeviceProxy {
 public:
  // Fetches the device once (bounded by the timeouts); an unreachable device still gives a proxy.
  // Throws when the refresh thread cannot be started; the live-proxy list is then unchanged.
  RavennaDeviceProxy(uint32_t id, std::string host, uint16_t port, DeviceConfigPtr config, const Timings& timings = {});
  // Stops and joins the refresh thread. Must not run on that thread (inside a change callback).
  ~RavennaDeviceProxy();
  RavennaDeviceProxy(const RavennaDeviceProxy&) = delete;
  RavennaDeviceProxy& operator=(const RavennaDeviceProxy&) = delete;

  [[nodiscard]] uint32_t GetId() const { return id_; }
  // The current device state as compact text.
  [[nodiscard]] std::string GetStateText() const;
  [[nodiscard]] ChangeSignal& GetChangeSignal() { return changeSignal_; }

  // Engine action list; 0 once worked through, -1 when the text is not JSON or an element is not
  // an action object (the elements before it stay applied and are reported).
  [[nodiscard]] int32_t ApplyActionList(const std::string& actionList);

  // The action routines; each logs ">> ..." first and a success or "ERROR: ..." line last.
  // Creating anything refuses while the last fetch of the device failed: its slots are unknown.
  void createStreamer(const std::string& streamName, const std::vector<uint32_t>& channels, const std::string& address,
                      int32_t rtpPort, const std::string& codec, int32_t frameSize);
  void deleteStreamer(uint32_t id);
  void createReceiver(const std::string& streamName, const std::vector<uint32_t>& channels);
  // Also drops the slot's queued set-up, so a deleted receiver never comes back enabled.
  void deleteReceiver(uint32_t id);
  void setSampleRate(uint32_t rate);

  // One refresh cycle's work, as the refresh thread runs it every period.
  void RunRefreshCycle();
  // Rebuilds the state from the caches after actions patched them, reporting the differences.
  // Uses the status of the last real fetch, so an unreachable device stays unreachable.
  void RefreshStateFromCaches();

  [[nodiscard]] int32_t GetPortIndex() const;
  [[nodiscard]] bool IsRedundant() const;
  [[nodiscard]] std::string GetDeviceName() const;
  [[nodiscard]] ParameterMap GetConfigCache() const;
  [[nodiscard]] std::map<uint32_t, AutoConfigureRequest> GetPendingAutoConfigure() const;
  // Number of proxies in the live list (all constructed, not yet destroyed).
  [[nodiscard]] static std::size_t LiveProxyCount();

 private:
  void RefreshLoop();
  void StopRefreshThread();
  // Sleeps on the refresh thread's wake-up condition; false as soon as the proxy is being
  // destroyed. Takes refreshMutex_, so callers may hold the other two locks.
  [[nodiscard]] bool WaitUnlessStopping(std::chrono::milliseconds duration);
  [[nodiscard]] PageTimeouts RequestTimeouts() const;
  [[nodiscard]] DeviceView MakeViewLocked() const;
  // Another live proxy reaches the same device through PHY1 while this one uses PHY2.
  // Callers hold the live-proxy list lock.
  [[nodiscard]] bool EvaluateRedundancyLocked() const;
  void DetectPortLocked(const ParameterMap& statistics);
  // The state from the blocks of a successful fetch: skipped when they and the proxy are as the
  // last time, the caches edited when their lines changed. Caller holds both locks.
  void RefreshFromBlocksLocked(std::string configurationBlock, std::string statisticsBlock);
  // Caller holds proxyMutex_. Whatever of the maps the caches keep is moved into them (the maps
  // may be the caches themselves).
  void UpdateDeviceState(ParameterMap& configuration, ParameterMap& statistics, const std::string& status);
  void AdoptIntoCachesLocked(ParameterMap& configuration, ParameterMap& statistics);
  [[nodiscard]] std::set<uint32_t> PendingReceiverSlotsLocked() const;
  // Queued receiver set-ups are applied here, on the refresh thread; caller holds both locks.
  void ApplyPendingAutoConfigure(const ParameterMap& sessions, const std::string& status);
  // Connects one queued slot to its session and waits for the device's verdict; throws when a
  // device request fails.
  void AutoConfigureReceiver(uint32_t slot, const AutoConfigureRequest& request, const SessionEntry& session);
  // One element of an action list; true when it called a routine (whatever the routine achieved).
  bool DispatchAction(const Json& element);
  // Writes to the device, then patches the cache; throws (cache untouched) when the device refuses.
  // Caller holds proxyMutex_.
  void SaveParameters(const ParameterMap& parameters);
  // False (with an error line) while the last fetch failed. Caller holds proxyMutex_.
  [[nodiscard]] bool DeviceConfigurationKnownLocked() const;

  DeviceConfigPtr config_;
  const uint32_t id_;
  const std::string host_;
  const uint16_t port_;
  const Timings timings_;
  bool isRedundant_ = false;
  std::string deviceName_;  // decided at construction
  Json currentState_ = Json::object();
  ChangeSignal changeSignal_;
  mutable std::mutex proxyMutex_;
  ParameterMap configCache_;
  ParameterMap statisticCache_;
  std::string lastFetchStatus_;
  int32_t portIndex_ = -1;  // decided at construction
  std::map<uint32_t, AutoConfigureRequest> pendingAutoConfigure_;
  // Set by a cycle that built the state from fetched pages; cleared when anything else changes
  // the state or the caches.
  std::optional<RefreshInputs> stateInputs_;
  std::vector<std::string> stateBuildLog_;  // the lines the last state build logged

  // Started in the constructor's body, once every member it touches exists; joined before any
  // member is released.
  std::thread refreshThread_;
  std::atomic<bool> running_{true};
  std::atomic<bool> active_{false};
  bool refreshThreadDone_ = false;  // guarded by refreshMutex_
  std::mutex refreshMutex_;
  std::condition_variable refreshCondition_;
};

}  // namespace Vextro
