#include "plugins/vextro/src/RavennaDeviceProxy.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "plugins/vextro/src/ChangeEmission.h"
#include "plugins/vextro/src/ChangeRecords.h"
#include "plugins/vextro/src/PluginLog.h"

namespace Vextro {
namespace {

std::mutex& LiveProxyListMutex() {
  static std::mutex mutex;
  return mutex;
}

// Every constructed proxy, in order of construction; read to find duplicates of a device.
std::vector<const RavennaDeviceProxy*>& LiveProxyList() {
  static std::vector<const RavennaDeviceProxy*> list;
  return list;
}

void RemoveFromLiveList(const RavennaDeviceProxy* proxy) {
  auto& list = LiveProxyList();
  list.erase(std::remove(list.begin(), list.end(), proxy), list.end());
}

// Turns `parameters`, parsed in order from `previous` (may be null), into the parameters of
// `block`: edited in place when `block` is in order too, else parsed anew.
void ReadBlockInto(const std::string& block, const std::string* previous, ParameterMap& parameters, bool& inOrder) {
  if (previous != nullptr) {
    if (auto edits = EditsBetween(*previous, block)) {
      for (const std::string& name : edits->removed) {
        parameters.erase(name);
      }
      for (auto& [name, value] : edits->values) {
        parameters[name] = std::move(value);
      }
      inOrder = true;
      return;
    }
  }
  parameters = ParseHeaderParameters(block, &inOrder);
}

}  // namespace

RavennaDeviceProxy::RavennaDeviceProxy(uint32_t id, std::string host, uint16_t port, DeviceConfigPtr config,
                                       const Timings& timings)
    : config_(std::move(config)), id_(id), host_(std::move(host)), port_(port), timings_(timings) {
  refreshThread_ = std::thread([this] { RefreshLoop(); });
  bool listed = false;
  try {
    std::lock_guard<std::mutex> listLock(LiveProxyListMutex());
    std::lock_guard<std::mutex> lock(proxyMutex_);
    ParameterMap configuration;
    ParameterMap statistics;
    std::string status;
    FetchConfiguration(host_, port_, configuration, statistics, status, RequestTimeouts());
    LiveProxyList().push_back(this);
    listed = true;
    deviceName_ = GetStringParameter(configuration, "CONFIG_PARAM_DEVICE_DEVICE_NAME", config_->GetProductName());
    DetectPortLocked(statistics);
    isRedundant_ = EvaluateRedundancyLocked();
    currentState_ = BuildDeviceState(MakeViewLocked(), configuration, statistics, status);
    configCache_ = std::move(configuration);
    statisticCache_ = std::move(statistics);
    lastFetchStatus_ = status;
    std::string message = "Unknown";
    if (const auto found = currentState_.find("Status"); found != currentState_.end() && found->is_object()) {
      if (const auto text = found->find("Message"); text != found->end()) {
        message = AsText(*text);
      }
    }
    Log("Initialized device. Initial status is: ", message);
    active_ = true;
  } catch (...) {
    if (listed) {
      std::lock_guard<std::mutex> listLock(LiveProxyListMutex());
      RemoveFromLiveList(this);
    }
    StopRefreshThread();
    throw;
  }
}

RavennaDeviceProxy::~RavennaDeviceProxy() {
  StopRefreshThread();
  std::lock_guard<std::mutex> listLock(LiveProxyListMutex());
  RemoveFromLiveList(this);
}

void RavennaDeviceProxy::StopRefreshThread() {
  active_ = false;
  {
    std::unique_lock<std::mutex> lock(refreshMutex_);
    running_ = false;
    refreshCondition_.notify_all();
    // A cycle in progress ends when its requests do; the timeouts bound that.
    if (!refreshCondition_.wait_for(lock, timings_.refreshPeriod, [this] { return refreshThreadDone_; })) {
      Log("ERROR: timeout while waiting for refresh thread to shut down. ", "Shutting down by force.");
    }
  }
  if (refreshThread_.joinable()) {
    refreshThread_.join();
  }
}

bool RavennaDeviceProxy::WaitUnlessStopping(std::chrono::milliseconds duration) {
  std::unique_lock<std::mutex> lock(refreshMutex_);
  return !refreshCondition_.wait_for(lock, duration, [this] { return !running_; });
}

void RavennaDeviceProxy::RefreshLoop() {
  std::unique_lock<std::mutex> lock(refreshMutex_);
  while (running_) {
    refreshCondition_.wait_for(lock, timings_.refreshPeriod, [this] { return !running_; });
    if (!running_ || !active_) {
      continue;
    }
    lock.unlock();
    try {
      RunRefreshCycle();
    } catch (const std::exception& error) {
      Log("ERROR: refresh cycle failed: ", error.what());
    } catch (...) {
      Log("ERROR: refresh cycle failed: unknown error");
    }
    lock.lock();
  }
  refreshThreadDone_ = true;
  refreshCondition_.notify_all();
}

void RavennaDeviceProxy::RunRefreshCycle() {
  ApplyLogSizeLimit();
  std::lock_guard<std::mutex> listLock(LiveProxyListMutex());
  std::lock_guard<std::mutex> lock(proxyMutex_);
  // Delete may have begun while this thread waited for the locks behind another proxy's cycle.
  if (!running_) {
    return;
  }
  isRedundant_ = EvaluateRedundancyLocked();
  if (!pendingAutoConfigure_.empty()) {
    ParameterMap sessions;
    std::string sessionsStatus;
    FetchSessions(host_, port_, sessions, sessionsStatus, RequestTimeouts());
    ApplyPendingAutoConfigure(sessions, sessionsStatus);
  }
  std::string configurationBlock;
  std::string statisticsBlock;
  std::string status;
  FetchConfigurationBlocks(host_, port_, configurationBlock, statisticsBlock, status, RequestTimeouts());
  lastFetchStatus_ = status;
  if (status == kStatusOk) {
    RefreshFromBlocksLocked(std::move(configurationBlock), std::move(statisticsBlock));
    return;
  }
  stateInputs_.reset();
  // A fetched block holds at least its status line: an empty one was not fetched.
  ParameterMap configuration = configurationBlock.empty() ? ParameterMap{} : ParseHeaderParameters(configurationBlock);
  ParameterMap statistics = statisticsBlock.empty() ? ParameterMap{} : ParseHeaderParameters(statisticsBlock);
  UpdateDeviceState(configuration, statistics, status);
}

void RavennaDeviceProxy::RefreshFromBlocksLocked(std::string configurationBlock, std::string statisticsBlock) {
  RefreshInputs inputs;
  inputs.isRedundant = isRedundant_;
  inputs.pendingReceiverSlots = PendingReceiverSlotsLocked();
  if (stateInputs_ &&
      stateInputs_->SameAs(configurationBlock, statisticsBlock, inputs.isRedundant, inputs.pendingReceiverSlots)) {
    for (const std::string& line : stateBuildLog_) {
      WriteLogLine(line);
    }
    return;
  }
  const std::optional<RefreshInputs> previous = std::exchange(stateInputs_, std::nullopt);
  // A state update of status "OK" ends with the caches holding the fetched parameters, so they
  // are read into the caches at once (they hold what the previous blocks gave, if any).
  ReadBlockInto(configurationBlock,
                previous && previous->configurationInOrder ? &previous->configurationBlock : nullptr, configCache_,
                inputs.configurationInOrder);
  ReadBlockInto(statisticsBlock, previous && previous->statisticsInOrder ? &previous->statisticsBlock : nullptr,
                statisticCache_, inputs.statisticsInOrder);
  UpdateDeviceState(configCache_, statisticCache_, kStatusOk);
  inputs.configurationBlock = std::move(configurationBlock);
  inputs.statisticsBlock = std::move(statisticsBlock);
  stateInputs_ = std::move(inputs);
}

void RavennaDeviceProxy::RefreshStateFromCaches() {
  std::lock_guard<std::mutex> lock(proxyMutex_);
  stateInputs_.reset();
  UpdateDeviceState(configCache_, statisticCache_, lastFetchStatus_);
}

void RavennaDeviceProxy::UpdateDeviceState(ParameterMap& configuration, ParameterMap& statistics,
                                           const std::string& status) {
  stateBuildLog_.clear();
  Json next;
  {
    const LogLineCapture capture(stateBuildLog_);
    next = BuildDeviceState(MakeViewLocked(), configuration, statistics, status);
  }
  if (next == currentState_) {
    // Device values the state does not show must still reach the caches, or a later
    // save would write stale values back to the device.
    if (status == kStatusOk) {
      AdoptIntoCachesLocked(configuration, statistics);
    }
    return;
  }
  Log("Device state changed. Calculating changes...");
  const Json records = ComputeChangeRecords(id_, currentState_, next);
  currentState_ = std::move(next);
  AdoptIntoCachesLocked(configuration, statistics);
  if (records.empty()) {
    Log("No relevant stream changes detected");
    return;
  }
  const std::string text = DumpCompact(records);
  Log("Stream Changes => ", text);
  const ChangeEmissionScope emission(this);
  changeSignal_(text);
}

void RavennaDeviceProxy::AdoptIntoCachesLocked(ParameterMap& configuration, ParameterMap& statistics) {
  if (&configuration != &configCache_) {
    configCache_ = std::move(configuration);
  }
  if (&statistics != &statisticCache_) {
    statisticCache_ = std::move(statistics);
  }
}

std::set<uint32_t> RavennaDeviceProxy::PendingReceiverSlotsLocked() const {
  std::set<uint32_t> slots;
  for (const auto& entry : pendingAutoConfigure_) {
    slots.insert(slots.end(), entry.first);
  }
  return slots;
}

std::string RavennaDeviceProxy::GetStateText() const {
  std::lock_guard<std::mutex> lock(proxyMutex_);
  return AsText(currentState_);
}

int32_t RavennaDeviceProxy::GetPortIndex() const {
  std::lock_guard<std::mutex> lock(proxyMutex_);
  return portIndex_;
}

bool RavennaDeviceProxy::IsRedundant() const {
  std::lock_guard<std::mutex> lock(proxyMutex_);
  return isRedundant_;
}

std::string RavennaDeviceProxy::GetDeviceName() const {
  std::lock_guard<std::mutex> lock(proxyMutex_);
  return deviceName_;
}

ParameterMap RavennaDeviceProxy::GetConfigCache() const {
  std::lock_guard<std::mutex> lock(proxyMutex_);
  return configCache_;
}

std::map<uint32_t, AutoConfigureRequest> RavennaDeviceProxy::GetPendingAutoConfigure() const {
  std::lock_guard<std::mutex> lock(proxyMutex_);
  return pendingAutoConfigure_;
}

std::size_t RavennaDeviceProxy::LiveProxyCount() {
  std::lock_guard<std::mutex> listLock(LiveProxyListMutex());
  return LiveProxyList().size();
}

PageTimeouts RavennaDeviceProxy::RequestTimeouts() const {
  return PageTimeouts{timings_.connectTimeout, timings_.requestTimeout};
}

DeviceView RavennaDeviceProxy::MakeViewLocked() const {
  DeviceView view;
  view.id = id_;
  view.host = host_;
  view.port = port_;
  view.deviceName = deviceName_;
  view.isRedundant = isRedundant_;
  view.portIndex = portIndex_;
  view.config = config_;
  view.pendingReceiverSlots = PendingReceiverSlotsLocked();
  return view;
}

bool RavennaDeviceProxy::EvaluateRedundancyLocked() const {
  if (portIndex_ != 1) {
    return false;
  }
  // deviceName_ and portIndex_ of every listed proxy are fixed while the list lock is held.
  for (const RavennaDeviceProxy* other : LiveProxyList()) {
    if (other != this && other->portIndex_ == 0 && other->deviceName_ == deviceName_) {
      return true;
    }
  }
  return false;
}

void RavennaDeviceProxy::DetectPortLocked(const ParameterMap& statistics) {
  const auto phy1 = statistics.find("STATISTIC_PARAM_CURRENT_IP_ADDRESS_PHY1");
  const auto phy2 = statistics.find("STATISTIC_PARAM_CURRENT_IP_ADDRESS_PHY2");
  if (phy1 == statistics.end() || phy2 == statistics.end()) {
    Log("ERROR: Can't figure out device port suffix");
  } else if (phy1->second == host_) {
    portIndex_ = 0;
    Log("Using device port 'PHY1'");
  } else if (phy2->second == host_) {
    portIndex_ = 1;
    Log("Using device port 'PHY2'");
  } else {
    Log("ERROR: Can't figure out device port suffix");
  }
}

}  // namespace Vextro
