#include "PluginHost.h"

#include <algorithm>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <utility>

#include "DeviceWorker.h"
#include "EngineLog.h"
#include "SharedLibrary.h"
#include "tvsk/DevicePluginEntries.h"
#include "tvsk/DiscoveryPluginEntries.h"

namespace tvsk {
namespace {

constexpr const char* kPluginSuffix = ".so";
constexpr const char* kDiscoveryCreateJson = "{\"StartId\":0}";
// The discovery plug-in's create entry reports success with 1.
constexpr int kDiscoveryCreated = 1;
constexpr const char* kDeviceStateRequest = "DeviceState";

// Runs one call into a plug-in; an exception is reported and turned into false.
template <typename Call>
bool guarded(const std::string& what, Call&& call) {
  try {
    call();
    return true;
  } catch (const std::exception& error) {
    printEngineLine(what + " threw: " + error.what());
  } catch (...) {
    printEngineLine(what + " threw an unknown exception");
  }
  return false;
}

std::string ownedText(const char* text) { return text != nullptr ? std::string(text) : std::string(); }

// The same file named through a link, a "./" or a doubled slash gives the same text.
std::string comparablePath(const std::string& path) {
  std::error_code ignored;
  const std::filesystem::path resolved = std::filesystem::weakly_canonical(path, ignored);
  return resolved.empty() ? std::filesystem::path(path).lexically_normal().string() : resolved.string();
}

}  // namespace

struct PluginHost::Library {
  enum class Kind { Device, Discovery };
  std::string path;
  std::string stem;
  SharedLibrary handle;
  Kind kind = Kind::Device;
  DeviceEntryTable device;
  DiscoveryEntryTable discovery;
  int64_t major = 0;
  int64_t minor = 0;
  void* discoveryObject = nullptr;
};

struct PluginHost::Device {
  Library* library = nullptr;
  uint32_t id = 0;
  void* proxy = nullptr;
  int64_t token = 0;
  // Every call into the proxy after its creation; stopped before the proxy is deleted.
  std::unique_ptr<DeviceWorker> worker;
};

// What a plug-in gets back as its callback context. Lives until every plug-in is unloaded.
struct PluginHost::CallbackContext {
  PluginHost* host = nullptr;
  Device* device = nullptr;  // null for a discovery object
};

PluginHost::PluginHost(StateDocument& state, AddressFilterList& filters)
    : state_(state),
      filters_(filters),
      streamMessages_([this](const std::string& message) { return state_.applyStreamMessage(message); }) {}

PluginHost::~PluginHost() { shutdown(); }

void PluginHost::start(const PluginHostSettings& settings) {
  maxWaitingActions_ = settings.maxWaitingActions;
  worker_.runAndWait([this, &settings] { loadLibraries(settings); });
  const std::string devicesFile = settings.devicesFile;
  if (!devicesFile.empty()) {
    worker_.post([this, devicesFile] { createDevices(devicesFile); });
  }
}

void PluginHost::loadLibraries(const PluginHostSettings& settings) {
  std::set<std::string> skipped;
  for (const std::string& file : settings.skip) {
    skipped.insert(comparablePath(file));
  }
  std::set<std::string> turnedOff;
  std::set<std::string> loaded;
  for (const std::string& directory : settings.directories) {
    std::error_code ec;
    std::vector<std::filesystem::path> files;
    for (std::filesystem::directory_iterator it(directory, ec), end; !ec && it != end; it.increment(ec)) {
      const auto& path = it->path();
      std::error_code typeError;
      if (path.extension() == kPluginSuffix && std::filesystem::is_regular_file(path, typeError)) {
        files.push_back(path);
      }
    }
    std::sort(files.begin(), files.end());
    for (const auto& file : files) {
      const std::string stem = file.stem().string();
      if (!settings.only.empty() && settings.only.count(stem) == 0) {
        printEngineLine("plug-in skipped: " + file.string() + ": not among the plug-ins to load");
      } else if (skipped.count(comparablePath(file.string())) != 0) {
        printEngineLine("plug-in skipped: " + file.string() + ": turned off in the plug-in choice");
        turnedOff.insert(stem);
      } else if (!loaded.insert(stem).second) {
        printEngineLine("plug-in skipped: " + file.string() + ": a plug-in named " + stem + " is already loaded");
      } else {
        loadLibrary(file.string(), stem);
      }
    }
  }
  for (const std::string& wanted : settings.only) {
    if (loaded.count(wanted) == 0 && turnedOff.count(wanted) == 0) {
      printEngineLine("plug-in " + wanted + " is to be loaded but was found in no plug-in folder");
    }
  }
  publishPlugins();
}

void PluginHost::loadLibrary(const std::string& path, const std::string& stem) {
  auto library = std::make_unique<Library>();
  library->path = path;
  library->stem = stem;
  std::string error;
  if (!library->handle.open(path, error)) {
    printEngineLine("plug-in skipped: " + path + ": " + error);
    return;
  }
  std::optional<std::string> skipped;
  if (auto* deviceExport = library->handle.function<TVSK_Get_By_Id_Fn>(TVSK_DEVICE_EXPORT_NAME)) {
    skipped = startDevicePlugin(*library, deviceExport);
  } else if (auto* discoveryExport = library->handle.function<TVSK_Disco_Get_By_Id_Fn>(TVSK_DISCOVERY_EXPORT_NAME)) {
    skipped = startDiscoveryPlugin(*library, discoveryExport);
  } else {
    skipped = "exports neither " TVSK_DEVICE_EXPORT_NAME " nor " TVSK_DISCOVERY_EXPORT_NAME;
  }
  if (skipped) {
    // The library closes with its handle.
    printEngineLine("plug-in skipped: " + path + ": " + *skipped);
    return;
  }
  libraries_.push_back(std::move(library));
}

std::optional<std::string> PluginHost::startDevicePlugin(Library& library, TVSK_Get_By_Id_Fn exported) {
  library.kind = Library::Kind::Device;
  DeviceEntryTable& entries = library.device;
  bool complete = false;
  if (!guarded(library.stem + " entry table", [&] { complete = entries.resolve(exported); }) || !complete) {
    return "its entry table is incomplete";
  }
  std::string info;
  uint32_t major = 0;
  uint32_t minor = 0;
  const bool ready = guarded(library.stem + " start-up", [&] {
    char* infoText = nullptr;
    entries.getInfo(&infoText);
    info = ownedText(infoText);
    entries.freeBuffer(infoText);
    entries.initialize();
    char* name = nullptr;
    entries.getPluginId(&major, &minor, &name);
    entries.freeBuffer(name);
  });
  if (!ready) {
    return "it failed to start";
  }
  library.major = major;
  library.minor = minor;
  printEngineLine("device plug-in " + library.stem + " " + std::to_string(major) + "." + std::to_string(minor) +
                  " loaded from " + library.path + ": " + info);
  return std::nullopt;
}

std::optional<std::string> PluginHost::startDiscoveryPlugin(Library& library, TVSK_Disco_Get_By_Id_Fn exported) {
  library.kind = Library::Kind::Discovery;
  DiscoveryEntryTable& entries = library.discovery;
  bool complete = false;
  if (!guarded(library.stem + " entry table", [&] { complete = entries.resolve(exported); }) || !complete) {
    return "its entry table is incomplete";
  }
  int major = 0;
  int minor = 0;
  int created = 0;
  void* object = nullptr;
  const bool createdOk = guarded(library.stem + " create", [&] {
    entries.getVersion(&major, &minor);
    created = entries.create(&object, kDiscoveryCreateJson);
  });
  if (!createdOk || created != kDiscoveryCreated || object == nullptr) {
    return "its discovery object could not be created";
  }
  auto context = std::make_unique<CallbackContext>();
  context->host = this;
  const std::string startJson =
      compactJson(Json{{"ListAddress", static_cast<uint64_t>(reinterpret_cast<uintptr_t>(&filters_))}});
  const bool started = guarded(library.stem + " start", [&] {
    entries.setCallback(object, onStreamMessage, context.get());
    entries.start(object, startJson.c_str());
  });
  if (!started) {
    guarded(library.stem + " destroy", [&] { entries.destroy(object); });
    return "its discovery could not be started";
  }
  contexts_.push_back(std::move(context));
  library.discoveryObject = object;
  library.major = major;
  library.minor = minor;
  printEngineLine("discovery plug-in " + library.stem + " " + std::to_string(major) + "." + std::to_string(minor) +
                  " loaded from " + library.path);
  return std::nullopt;
}

void PluginHost::publishPlugins() {
  std::vector<PluginRecord> records;
  for (const auto& library : libraries_) {
    records.push_back({library->stem, library->major, library->minor});
  }
  state_.setPlugins(records);
}

void PluginHost::createDevices(const std::string& devicesFile) {
  std::ifstream in(devicesFile, std::ios::binary);
  if (!in.is_open()) {
    printEngineLine("devices file " + devicesFile + " cannot be read");
    return;
  }
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const auto devices = parseJson(text);
  if (!devices || !devices->is_array()) {
    printEngineLine("devices file " + devicesFile + " is not a JSON array of device objects");
    return;
  }
  for (const Json& device : *devices) {
    if (!device.is_object()) {
      printEngineLine("device entry skipped, not an object: " + compactJson(device));
      continue;
    }
    createDevice(compactJson(device));
  }
}

void PluginHost::createDevice(const std::string& initJson) {
  for (const auto& library : libraries_) {
    if (library->kind != Library::Kind::Device) {
      continue;
    }
    DeviceEntryTable& entries = library->device;
    int32_t accepted = -1;
    if (!guarded(library->stem + " probe", [&] { accepted = entries.probe(initJson.c_str()); }) || accepted != 0) {
      continue;
    }
    const uint32_t id = nextProxyId_++;
    void* proxy = nullptr;
    int32_t created = -1;
    if (!guarded(library->stem + " create", [&] { created = entries.create(id, initJson.c_str(), &proxy); }) ||
        created != 0 || proxy == nullptr) {
      printEngineLine("device " + std::to_string(id) + " could not be created by " + library->stem + ": " + initJson);
      continue;
    }
    auto device = std::make_unique<Device>();
    device->library = library.get();
    device->id = id;
    device->proxy = proxy;
    device->worker =
        std::make_unique<DeviceWorker>(maxWaitingActions_, [this, target = device.get()] { refreshDevice(*target); });
    auto context = std::make_unique<CallbackContext>();
    context->host = this;
    context->device = device.get();
    guarded(library->stem + " register callback",
            [&] { device->token = entries.registerCallback(proxy, onDeviceChange, context.get()); });
    contexts_.push_back(std::move(context));
    device->worker->requestRefresh();
    {
      std::lock_guard<std::mutex> lock(devicesMutex_);
      devices_.push_back(std::move(device));
    }
    printEngineLine("device " + std::to_string(id) + " created by " + library->stem + ": " + initJson);
    return;
  }
  printEngineLine("device not accepted by any plug-in: " + initJson);
}

PluginHost::Device* PluginHost::findDevice(uint32_t proxyId) {
  std::lock_guard<std::mutex> lock(devicesMutex_);
  const auto found =
      std::find_if(devices_.begin(), devices_.end(), [proxyId](const auto& device) { return device->id == proxyId; });
  return found != devices_.end() ? found->get() : nullptr;
}

void PluginHost::refreshDevice(const Device& device) {
  const DeviceEntryTable& entries = device.library->device;
  std::string text;
  guarded(device.library->stem + " get", [&] {
    char* buffer = nullptr;
    uint32_t length = 0;
    entries.get(device.proxy, kDeviceStateRequest, &buffer, &length);
    if (buffer != nullptr) {
      text.assign(buffer);
      entries.freeBuffer(buffer);
    }
  });
  auto state = parseJson(text);
  if (!state || !state->is_object()) {
    printEngineLine("device " + std::to_string(device.id) + " state is not a JSON object");
    return;
  }
  state_.setDevice(device.id, std::move(*state));
}

int PluginHost::runAction(const Device& device, const std::string& actions) {
  int32_t result = -1;
  guarded(device.library->stem + " action",
          [&] { result = device.library->device.action(device.proxy, actions.c_str()); });
  // The answer shows the state after the action, not one refresh later.
  refreshDevice(device);
  return result;
}

ActionAdmission PluginHost::queueAction(uint32_t proxyId, DeviceActionRequest request) {
  Device* device = findDevice(proxyId);
  if (device == nullptr) {
    return ActionAdmission::UnknownDevice;
  }
  DeviceWorker::Job job;
  job.abandoned = request.abandoned;
  job.run = [this, device, request = std::move(request)] {
    const int result = runAction(*device, request.actions);
    if (request.done) {
      request.done(result);
    }
  };
  switch (device->worker->post(std::move(job))) {
    case DeviceWorker::Admission::Queued: return ActionAdmission::Queued;
    case DeviceWorker::Admission::Full: return ActionAdmission::QueueFull;
    case DeviceWorker::Admission::Stopping: break;
  }
  return ActionAdmission::Stopping;
}

void PluginHost::onDeviceChange(void* context, const char* /*message*/) {
  try {
    auto* callback = static_cast<CallbackContext*>(context);
    if (callback->device != nullptr) {
      // Coalesced: a waiting refresh reads the newest state.
      callback->device->worker->requestRefresh();
    }
  } catch (...) {
    // This change is picked up by the next one.
  }
}

void PluginHost::onStreamMessage(void* context, const char* message) {
  if (message == nullptr) {
    return;
  }
  try {
    static_cast<CallbackContext*>(context)->host->streamMessages_.post(message);
  } catch (...) {
    printEngineLine("stream message dropped: out of memory");
  }
}

void PluginHost::shutdown() {
  if (shutDown_) {
    return;
  }
  shutDown_ = true;
  worker_.stop();
  {
    std::lock_guard<std::mutex> lock(devicesMutex_);
    for (const auto& device : devices_) {
      device->worker->stop();
    }
  }
  streamMessages_.stop();
  for (auto library = libraries_.rbegin(); library != libraries_.rend(); ++library) {
    Library& plugin = **library;
    if (plugin.kind == Library::Kind::Discovery) {
      guarded(plugin.stem + " destroy", [&] { plugin.discovery.destroy(plugin.discoveryObject); });
    } else {
      for (auto device = devices_.rbegin(); device != devices_.rend(); ++device) {
        if ((*device)->library != &plugin) {
          continue;
        }
        guarded(plugin.stem + " unregister callback", [&] { plugin.device.unregisterCallback((*device)->token); });
        guarded(plugin.stem + " delete", [&] { plugin.device.destroy((*device)->proxy); });
        state_.removeDevice((*device)->id);
      }
      guarded(plugin.stem + " uninitialize", [&] { plugin.device.uninitialize(); });
    }
    plugin.handle.close();
    printEngineLine("plug-in " + plugin.stem + " unloaded");
  }
  {
    std::lock_guard<std::mutex> lock(devicesMutex_);
    devices_.clear();
  }
  libraries_.clear();
  contexts_.clear();
  state_.setPlugins({});
}

}  // namespace tvsk
