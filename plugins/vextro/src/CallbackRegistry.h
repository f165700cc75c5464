#pragma once

// Binds engine callbacks to proxies' change signals under tokens the engine can unregister.

#include <cstdint>
#include <map>
#include <mutex>

#include <boost/signals2/connection.hpp>

#include "tvsk/DevicePluginEntries.h"

namespace Vextro {

class RavennaDeviceProxy;

using EngineCallback = TVSK_DeviceCallback;

struct CallbackRecord {
  int64_t token = 0;
  EngineCallback fn = nullptr;
  void* ctx = nullptr;
  const RavennaDeviceProxy* proxy = nullptr;  // not owned; may be gone by the time of unregistering
  uint32_t proxyId = 0;                       // captured at registration, for log lines
  boost::signals2::scoped_connection connection;
};

class CallbackRegistry {
 public:
  // The next token handed out is 0 again; tokens still registered are skipped.
  void ResetTokens();
  // Returns the token; 0 (with a log line for a null proxy) when nothing was registered.
  int64_t Register(RavennaDeviceProxy* proxy, EngineCallback fn, void* ctx);
  // 0, or -1 for an unknown token. Never touches the proxy.
  int32_t Unregister(int64_t token);
  [[nodiscard]] std::size_t Size() const;

 private:
  mutable std::mutex mutex_;
  std::map<int64_t, CallbackRecord> records_;
  int32_t nextToken_ = 0;
};

// The plug-in's one registry.
CallbackRegistry& GlobalCallbackRegistry();

}  // namespace Vextro
