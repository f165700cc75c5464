#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "StateDocument.h"
#include "WorkQueue.h"
#include "tvsk/AddressFilterList.h"

namespace tvsk {

struct PluginHostSettings {
  // Folders searched for "*.so", in order.
  std::vector<std::string> directories;
  // File stems to load; empty: every plug-in found.
  std::set<std::string> only;
  // Plug-in files not to load (the user turned them off), compared after resolving links.
  std::vector<std::string> skip;
  // JSON array of device init objects {"Origin","Type","Subtypes","Ip","Port"}; empty: no device.
  std::string devicesFile;
};

// Loads the plug-ins and drives them: device-proxy plug-ins (export TVSK_Get_By_Id) get one proxy
// per device they accept, stream-discovery plug-ins (export TVSK_Disco_Get_By_Id) one started
// discovery object. Every call into a plug-in runs on the host's worker thread (teardown runs after
// that thread has ended); callbacks only copy their text and queue it for the worker, so no
// plug-in is called from inside its own callback. A plug-in that fails or throws is reported and
// passed over.
class PluginHost {
 public:
  PluginHost(StateDocument& state, AddressFilterList& filters);
  ~PluginHost();
  PluginHost(const PluginHost&) = delete;
  PluginHost& operator=(const PluginHost&) = delete;

  // Opens the plug-ins and starts the discovery objects (waits for that), then creates the devices
  // on the worker (does not wait). Once per host.
  void start(const PluginHostSettings& settings);

  // Queues work for the worker thread; false once the host is shutting down.
  bool post(std::function<void()> task);

  // The device plug-in's action result for that proxy, or nothing for an unknown Id. Worker only.
  [[nodiscard]] std::optional<int> deviceAction(uint32_t proxyId, const std::string& actions);

  // Stops the worker, then tears everything down in reverse order. Idempotent.
  void shutdown();

  struct Library;
  struct Device;
  struct CallbackContext;

 private:
  void loadLibraries(const PluginHostSettings& settings);
  void loadLibrary(const std::string& path, const std::string& stem);
  void createDevices(const std::string& devicesFile);
  void createDevice(const std::string& initJson);
  void refreshDevice(uint32_t proxyId);
  void publishPlugins();

  static void onDeviceChange(void* context, const char* message);
  static void onStreamMessage(void* context, const char* message);
  void queueDeviceRefresh(uint32_t proxyId);
  void queueStreamMessage(std::string message);

  StateDocument& state_;
  AddressFilterList& filters_;
  WorkQueue worker_;
  std::vector<std::unique_ptr<Library>> libraries_;  // load order
  std::vector<std::unique_ptr<Device>> devices_;     // creation order
  std::vector<std::unique_ptr<CallbackContext>> contexts_;
  std::mutex pendingMutex_;
  std::set<uint32_t> pendingRefreshes_;
  uint32_t nextProxyId_ = 1;
  bool shutDown_ = false;
};

}  // namespace tvsk
