#include "Engine.h"

#include <arpa/inet.h>

#include <cstdlib>
#include <optional>

#include "ApiRouter.h"
#include "DnsSdAdvertiser.h"
#include "EngineLog.h"
#include "EngineSettings.h"
#include "HttpServer.h"
#include "PluginHost.h"

namespace tvsk {
namespace {

constexpr int kStartFailed = -1;

bool isIpv4Text(const char* text) {
  in_addr parsed{};
  return text != nullptr && inet_pton(AF_INET, text, &parsed) == 1;
}

std::optional<int> forcedInitResult() {
  const char* text = std::getenv(Engine::kForcedInitResultVariable);
  if (text == nullptr || *text == '\0') {
    return std::nullopt;
  }
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (*end != '\0') {
    return std::nullopt;
  }
  return static_cast<int>(value);
}

}  // namespace

Engine& Engine::instance() {
  static Engine engine;
  return engine;
}

Engine::Engine() = default;

Engine::~Engine() { uninitialize(); }

int Engine::addInterfaceFilter(const char* address, const char* netmask) {
  if (!isIpv4Text(address) || !isIpv4Text(netmask)) {
    return -1;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& filter : filters_) {
    if (filter.address == address) {
      return 0;  // already filtered; the first mask stays
    }
  }
  filters_.push_back({address, netmask});
  publishFilters();
  return 0;
}

void Engine::replaceInterfaceFilters(const std::vector<InterfaceFilter>& filters) {
  std::lock_guard<std::mutex> lock(mutex_);
  filters_ = filters;
  publishFilters();
}

void Engine::publishFilters() {
  {
    boost::lock_guard<boost::mutex> filterLock(filteredAddresses_.mutex);
    filteredAddresses_.addresses.clear();
    for (const auto& filter : filters_) {
      filteredAddresses_.addresses.insert(filter.address);
    }
  }
  state_.setInterfaceFilters(filters_);
}

int Engine::initialize(int /*instance*/, int /*options*/, int role) {
  if (const auto forced = forcedInitResult(); forced && *forced != 0) {
    return *forced;
  }
  std::lock_guard<std::mutex> lifecycle(lifecycleMutex_);
  if (running()) {
    return 0;
  }
  std::string error;
  const auto settings = EngineSettings::fromEnvironment(error);
  if (!settings) {
    printEngineLine(error);
    return kStartFailed;
  }

  state_.clear();
  state_.setRole(role);
  state_.setPluginDirectories(settings->pluginDirectories);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    publishFilters();
  }

  plugins_ = std::make_unique<PluginHost>(state_, filteredAddresses_);
  ApiHooks hooks;
  hooks.replaceInterfaceFilters = [this](const std::vector<InterfaceFilter>& filters) {
    replaceInterfaceFilters(filters);
  };
  PluginHost* host = plugins_.get();
  hooks.deviceAction = [host](uint32_t id, DeviceActionRequest request) {
    return host->queueAction(id, std::move(request));
  };
  hooks.webAppIndexPath = settings->webAppIndexPath;
  router_ = std::make_unique<ApiRouter>(state_, std::move(hooks));
  HttpServerOptions options;
  options.port = settings->httpPort;
  options.processingTimeout = settings->actionTimeout;
  http_ = std::make_unique<HttpServer>(*router_, options);
  if (!http_->start(error)) {
    printEngineLine("HTTP server cannot listen on port " + std::to_string(settings->httpPort) + ": " + error);
    stopComponents();
    return kStartFailed;
  }
  const uint16_t port = http_->port();
  printEngineLine("HTTP server listening on port " + std::to_string(port) +
                  ", web application at http://127.0.0.1:" + std::to_string(port) + "/");

  PluginHostSettings pluginSettings;
  pluginSettings.directories = settings->pluginDirectories;
  pluginSettings.only = settings->plugins;
  pluginSettings.skip = settings->skippedPluginFiles;
  pluginSettings.devicesFile = settings->devicesFile;
  plugins_->start(pluginSettings);

  advertiser_ = std::make_unique<DnsSdAdvertiser>();
  if (!advertiser_->advertise(settings->serviceName, port, role == kMasterRole, error)) {
    // The API still serves clients that know the address.
    printEngineLine("DNS-SD advertisement of \"" + settings->serviceName + "\" failed: " + error);
  }

  std::lock_guard<std::mutex> lock(mutex_);
  role_ = role;
  httpPort_ = port;
  running_ = true;
  return 0;
}

void Engine::stopComponents() {
  // Agents lose the advertisement first, then the API; the plug-ins go last, after the server's
  // deferred work can no longer reach them.
  if (advertiser_) advertiser_->withdraw();
  if (http_) http_->stop();
  if (plugins_) plugins_->shutdown();
  advertiser_.reset();
  http_.reset();
  router_.reset();
  plugins_.reset();
}

int Engine::uninitialize() {
  std::lock_guard<std::mutex> lifecycle(lifecycleMutex_);
  stopComponents();
  std::lock_guard<std::mutex> lock(mutex_);
  running_ = false;
  httpPort_ = 0;
  // A restarted engine, and the discovery plug-in's address set, start without filters.
  filters_.clear();
  publishFilters();
  state_.clear();
  return 0;
}

bool Engine::running() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return running_;
}

int Engine::role() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return role_;
}

uint16_t Engine::httpPort() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return httpPort_;
}

std::vector<InterfaceFilter> Engine::interfaceFilters() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return filters_;
}

}  // namespace tvsk
