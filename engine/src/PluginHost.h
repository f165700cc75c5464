#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "DeviceAction.h"
#include "StateDocument.h"
#include "StreamMessageQueue.h"
#include "WorkQueue.h"
#include "tvsk/AddressFilterList.h"
#include "tvsk/DevicePluginEntries.h"
#include "tvsk/DiscoveryPluginEntries.h"

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
  // Action lists that may wait for one device besides the one it runs; more are refused.
  std::size_t maxWaitingActions = 16;
};

// Loads the plug-ins and drives them: device-proxy plug-ins (export TVSK_Get_By_Id) get one proxy
// per device they accept, stream-discovery plug-ins (export TVSK_Disco_Get_By_Id) one started
// discovery object. Loading, device creation and the discovery entries run on the host's worker
// thread; each device's refreshes and action lists run on that device's own thread, so a slow
// device delays only itself; stream messages reach the state document through a queue of their
// own. Teardown runs after all those threads have ended. Callbacks only copy their text and queue
// it, so no plug-in is called from inside its own callback. A plug-in that fails or throws is
// reported and passed over.
class PluginHost {
 public:
  PluginHost(StateDocument& state, AddressFilterList& filters);
  ~PluginHost();
  PluginHost(const PluginHost&) = delete;
  PluginHost& operator=(const PluginHost&) = delete;

  // Opens the plug-ins and starts the discovery objects (waits for that), then creates the devices
  // on the worker (does not wait). Once per host.
  void start(const PluginHostSettings& settings);

  // Queues an action list for the device with that proxy Id. Any thread.
  ActionAdmission queueAction(uint32_t proxyId, DeviceActionRequest request);

  // Stops the workers, then tears everything down in reverse order. Idempotent.
  void shutdown();

  struct Library;
  struct Device;
  struct CallbackContext;

 private:
  void loadLibraries(const PluginHostSettings& settings);
  void loadLibrary(const std::string& path, const std::string& stem);
  // Each returns why the plug-in is skipped, or nothing once it runs.
  [[nodiscard]] std::optional<std::string> startDevicePlugin(Library& library, TVSK_Get_By_Id_Fn exported);
  [[nodiscard]] std::optional<std::string> startDiscoveryPlugin(Library& library, TVSK_Disco_Get_By_Id_Fn exported);
  void createDevices(const std::string& devicesFile);
  void createDevice(const std::string& initJson);
  // On the device's thread.
  void refreshDevice(const Device& device);
  int runAction(const Device& device, const std::string& actions);
  void publishPlugins();
  [[nodiscard]] Device* findDevice(uint32_t proxyId);

  static void onDeviceChange(void* context, const char* message);
  static void onStreamMessage(void* context, const char* message);

  StateDocument& state_;
  AddressFilterList& filters_;
  std::size_t maxWaitingActions_ = PluginHostSettings{}.maxWaitingActions;
  WorkQueue worker_;
  StreamMessageQueue streamMessages_;
  std::vector<std::unique_ptr<Library>> libraries_;  // load order
  // Creation order. Added on the worker, read by the I/O thread: guarded by devicesMutex_.
  std::vector<std::unique_ptr<Device>> devices_;
  std::mutex devicesMutex_;
  std::vector<std::unique_ptr<CallbackContext>> contexts_;
  uint32_t nextProxyId_ = 1;
  bool shutDown_ = false;
};

}  // namespace tvsk
