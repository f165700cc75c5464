#include "plugins/vextro/src/PluginEntries.h"

#include <cstdlib>
#include <cstring>

#include "plugins/vextro/src/CallbackRegistry.h"
#include "plugins/vextro/src/ChangeEmission.h"
#include "plugins/vextro/src/DeviceConfig.h"
#include "plugins/vextro/src/JsonCompat.h"
#include "plugins/vextro/src/PluginLog.h"
#include "plugins/vextro/src/RavennaDeviceProxy.h"

namespace Vextro {
namespace {

constexpr int32_t kSuccess = 0;
constexpr int32_t kFailure = -1;
constexpr int32_t kEntry11Value = 10;

// A malloc'ed, NUL-terminated copy for the engine, released through FreeBuffer; null on failure.
char* CopyForEngine(const std::string& text) {
  auto* buffer = static_cast<char*>(std::malloc(text.size() + 1));
  if (buffer != nullptr) {
    std::memcpy(buffer, text.c_str(), text.size() + 1);
  }
  return buffer;
}

// True (after an error line) when the call comes from inside a change callback. Every call that
// reaches a proxy is refused there, not only one for the firing proxy: a callback of proxy A that
// waits for proxy B while B's callback waits for A (two threads, each holding its proxy's lock)
// would deadlock both, and the global lock with them.
bool RefusedFromChangeCallback(const char* entry) {
  if (!ChangeEmissionScope::IsEmittingAny()) {
    return false;
  }
  Log("ERROR: ", entry, " called from inside a change callback; refused");
  return true;
}

void LogUnexpected(const char* entry) {
  try {
    throw;
  } catch (const std::exception& error) {
    Log("ERROR: unexpected failure in ", entry, ": ", error.what());
  } catch (...) {
    Log("ERROR: unexpected failure in ", entry);
  }
}

int32_t GetInfo(char** out) {
  try {
    Log("Engine requests plugin factory info:");
    const std::string text = FactoryInfoText();
    Log(" => ", text);
    if (out == nullptr) {
      return kSuccess;
    }
    *out = CopyForEngine(text);
    if (*out == nullptr) {
      Log("ERROR: malloc failed");
    }
  } catch (...) {
    LogUnexpected("RavennaDeviceFactory_GetInfo");
  }
  return kSuccess;
}

int32_t Initialize() {
  try {
    Log("Plugin Factory initialized");
    Log("Plugin Version: ", kPluginVersion);
    Log("API Version: ", kApiVersion);
    GlobalCallbackRegistry().ResetTokens();
  } catch (...) {
    LogUnexpected("RavennaDeviceFactory_Initialize");
  }
  return kSuccess;
}

int32_t Uninitialize() {
  try {
    Log("Plugin Factory uninitialized");
  } catch (...) {
    // Only the line is lost.
  }
  return kSuccess;
}

int32_t Probe(const char* initJson) {
  try {
    if (initJson == nullptr) {
      Log("ERROR: Invalid initialization JSON");
      return kFailure;
    }
    Log("Trying: ", initJson);
    std::string host;
    uint16_t port = 0;
    DeviceConfigPtr model;
    if (ParseInitJson(initJson, host, port, model)) {
      Log("Accepted device JSON");
      return kSuccess;
    }
    Log("Neglected device JSON");
  } catch (...) {
    LogUnexpected("RavennaDeviceFactory_Probe");
  }
  return kFailure;
}

int32_t Create(uint32_t id, const char* initJson, void** outProxy) {
  try {
    if (RefusedFromChangeCallback("RavennaDeviceFactory_Create")) {
      return kFailure;
    }
    Log("Creating device proxy with ID: ", id, "...");
    if (outProxy == nullptr) {
      Log("ERROR: Invalid proxy passed to RavennaDeviceFactory_Create");
      return kFailure;
    }
    std::string host;
    uint16_t port = 0;
    DeviceConfigPtr model;
    if (initJson == nullptr || !ParseInitJson(initJson, host, port, model)) {
      Log("ERROR: invalid init JSON");
      return kFailure;
    }
    Log("Creating new proxy for device at ", host, ":", port, "...");
    *outProxy = new RavennaDeviceProxy(id, host, port, model, PluginTimings());
    return kSuccess;
  } catch (...) {
    LogUnexpected("RavennaDeviceFactory_Create");
  }
  return kFailure;
}

int32_t Delete(void* proxy) {
  try {
    if (proxy == nullptr) {
      Log("ERROR: Invalid proxy passed to RavennaDeviceFactory_Delete");
      return kSuccess;
    }
    if (RefusedFromChangeCallback("RavennaDeviceFactory_Delete")) {
      return kFailure;
    }
    auto* deviceProxy = static_cast<RavennaDeviceProxy*>(proxy);
    Log("Deleting device proxy with ID: ", deviceProxy->GetId(), "...");
    delete deviceProxy;
  } catch (...) {
    LogUnexpected("RavennaDeviceFactory_Delete");
  }
  return kSuccess;
}

int32_t Action(void* proxy, const char* actionList) {
  try {
    if (proxy == nullptr) {
      Log("ERROR: Invalid proxy passed to RavennaDeviceProxy_Action");
      return kFailure;
    }
    auto* deviceProxy = static_cast<RavennaDeviceProxy*>(proxy);
    if (RefusedFromChangeCallback("RavennaDeviceProxy_Action")) {
      return kFailure;
    }
    if (actionList == nullptr) {
      Log("ERROR: Invalid action list passed to RavennaDeviceProxy_Action");
      return kFailure;
    }
    Log("Engine requests action '", actionList, "' for device proxy with ID: ", deviceProxy->GetId(), "...");
    return deviceProxy->ApplyActionList(actionList);
  } catch (...) {
    LogUnexpected("RavennaDeviceProxy_Action");
  }
  return kFailure;
}

int32_t Get(void* proxy, const char* what, char** outBuf, uint32_t* outLen) {
  // Outputs are nulled first, so no failure path leaves the engine a stale pointer.
  if (outBuf != nullptr) *outBuf = nullptr;
  if (outLen != nullptr) *outLen = 0;
  try {
    if (proxy == nullptr) {
      Log("ERROR: Invalid proxy passed to RavennaDeviceProxy_Get");
      return kFailure;
    }
    auto* deviceProxy = static_cast<RavennaDeviceProxy*>(proxy);
    if (RefusedFromChangeCallback("RavennaDeviceProxy_Get")) {
      return kFailure;
    }
    if (what == nullptr) {
      Log("ERROR: Invalid data request passed to RavennaDeviceProxy_Get");
      return kFailure;
    }
    Log("Engine requests data '", what, "' for device proxy with ID: ", deviceProxy->GetId(), "...");
    if (outBuf == nullptr) {
      return kFailure;
    }
    const std::string text = deviceProxy->GetStateText();
    *outBuf = CopyForEngine(text);
    if (*outBuf == nullptr) {
      Log("ERROR: malloc failed");
      return kFailure;
    }
    if (outLen != nullptr) {
      *outLen = static_cast<uint32_t>(text.size());
    }
    return kSuccess;
  } catch (...) {
    LogUnexpected("RavennaDeviceProxy_Get");
  }
  return kFailure;
}

int32_t FreeBuffer(void* buffer) {
  std::free(buffer);
  return kSuccess;
}

int64_t RegisterCallback(void* proxy, EngineCallback fn, void* ctx) {
  try {
    return GlobalCallbackRegistry().Register(static_cast<RavennaDeviceProxy*>(proxy), fn, ctx);
  } catch (...) {
    LogUnexpected("RavennaDeviceProxy_RegisterCallback");
  }
  return 0;
}

int32_t UnregisterCallback(int64_t token) {
  try {
    return GlobalCallbackRegistry().Unregister(token);
  } catch (...) {
    LogUnexpected("RavennaDeviceProxy_UnregisterCallback");
  }
  return kFailure;
}

int32_t Entry11() { return kEntry11Value; }

int32_t GetPluginId(uint32_t* major, uint32_t* minor, char** name) {
  if (major != nullptr) *major = kPluginMajor;
  if (minor != nullptr) *minor = kPluginMinor;
  if (name != nullptr) *name = CopyForEngine(kPluginName);
  return kSuccess;
}

}  // namespace

const Timings& PluginTimings() {
  static const Timings timings = Timings::FromEnvironment();
  return timings;
}

std::string FactoryInfoText() {
  Json info = Json::object();
  info["Manufacturer"] = kPluginManufacturer;
  info["Version"] = kPluginVersion;
  info["ApiVersion"] = kApiVersion;
  info["Description"] = kPluginDescription;
  return DumpCompact(info);
}

void* EntryById(uint32_t id) {
  using tvsk::deviceEntryAddress;
  static void* const table[kEntryCount] = {deviceEntryAddress<TVSK_DEVICE_GET_INFO>(&GetInfo),
                                           deviceEntryAddress<TVSK_DEVICE_INITIALIZE>(&Initialize),
                                           deviceEntryAddress<TVSK_DEVICE_UNINITIALIZE>(&Uninitialize),
                                           deviceEntryAddress<TVSK_DEVICE_PROBE>(&Probe),
                                           deviceEntryAddress<TVSK_DEVICE_CREATE>(&Create),
                                           deviceEntryAddress<TVSK_DEVICE_DELETE>(&Delete),
                                           deviceEntryAddress<TVSK_DEVICE_ACTION>(&Action),
                                           deviceEntryAddress<TVSK_DEVICE_GET>(&Get),
                                           deviceEntryAddress<TVSK_DEVICE_FREE_BUFFER>(&FreeBuffer),
                                           deviceEntryAddress<TVSK_DEVICE_REGISTER_CALLBACK>(&RegisterCallback),
                                           deviceEntryAddress<TVSK_DEVICE_UNREGISTER_CALLBACK>(&UnregisterCallback),
                                           deviceEntryAddress<TVSK_DEVICE_ENTRY_11>(&Entry11),
                                           deviceEntryAddress<TVSK_DEVICE_GET_PLUGIN_ID>(&GetPluginId)};
  return id < kEntryCount ? table[id] : nullptr;
}

}  // namespace Vextro
