#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "InterfaceFilter.h"
#include "StateDocument.h"
#include "tvsk/AddressFilterList.h"

namespace tvsk {

class ApiRouter;
class DnsSdAdvertiser;
class HttpServer;
class PluginHost;

// The in-process engine behind the C entries. One per process. A running engine serves the HTTP
// API and the web page, advertises itself by DNS-SD and hosts the plug-ins.
class Engine {
 public:
  // Role value of a master engine.
  static constexpr int kMasterRole = 3;
  // Environment variable that forces TVSK_Initialize's result, for tests of failed starts.
  static constexpr const char* kForcedInitResultVariable = "TVSK_INIT_RESULT";

  static Engine& instance();
  ~Engine();
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  int addInterfaceFilter(const char* address, const char* netmask);
  int initialize(int instance, int options, int role);
  int uninitialize();

  [[nodiscard]] bool running() const;
  [[nodiscard]] int role() const;
  [[nodiscard]] std::vector<InterfaceFilter> interfaceFilters() const;
  // Port of the running HTTP server; 0 when stopped.
  [[nodiscard]] uint16_t httpPort() const;
  [[nodiscard]] const StateDocument& state() const { return state_; }
  // Shared with the stream-discovery plug-in; stays valid for the life of the process.
  [[nodiscard]] AddressFilterList& filteredAddresses() { return filteredAddresses_; }

 private:
  Engine();

  void replaceInterfaceFilters(const std::vector<InterfaceFilter>& filters);
  void publishFilters();  // mutex_ held
  void stopComponents();  // lifecycleMutex_ held

  // Serialises start and stop; never held by the I/O or worker threads.
  std::mutex lifecycleMutex_;
  // Guards the fields below; held only briefly.
  mutable std::mutex mutex_;
  std::vector<InterfaceFilter> filters_;
  AddressFilterList filteredAddresses_;
  bool running_ = false;
  int role_ = 0;
  uint16_t httpPort_ = 0;

  StateDocument state_;
  std::unique_ptr<PluginHost> plugins_;
  std::unique_ptr<ApiRouter> router_;
  std::unique_ptr<HttpServer> http_;
  std::unique_ptr<DnsSdAdvertiser> advertiser_;
};

}  // namespace tvsk
