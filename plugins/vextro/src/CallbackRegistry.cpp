#include "plugins/vextro/src/CallbackRegistry.h"

#include <limits>

#include "plugins/vextro/src/PluginLog.h"
#include "plugins/vextro/src/RavennaDeviceProxy.h"

namespace Vextro {

void CallbackRegistry::ResetTokens() {
  std::lock_guard<std::mutex> lock(mutex_);
  nextToken_ = 0;
}

int64_t CallbackRegistry::Register(RavennaDeviceProxy* proxy, EngineCallback fn, void* ctx) {
  if (proxy == nullptr) {
    Log("ERROR: Invalid proxy passed to RavennaDeviceProxy_RegisterCallback");
    return 0;
  }
  if (fn == nullptr) {
    return 0;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  // After a second initialization the counter restarts while old records may live on; a token in
  // use is skipped so a new callback never shares a record with an old one. The wrap is explicit.
  int64_t token = 0;
  do {
    token = nextToken_;
    nextToken_ =
        nextToken_ == std::numeric_limits<int32_t>::max() ? std::numeric_limits<int32_t>::min() : nextToken_ + 1;
  } while (records_.count(token) != 0);
  const uint32_t proxyId = proxy->GetId();
  Log("Engine registers callback token: ", token, " for device with ID: ", proxyId, "...");
  CallbackRecord& record = records_[token];
  record.token = token;
  record.fn = fn;
  record.ctx = ctx;
  record.proxy = proxy;
  record.proxyId = proxyId;
  // The slot owns copies of fn and ctx: unregistering while the signal fires frees nothing it uses.
  record.connection = proxy->GetChangeSignal().connect([fn, ctx](const std::string& text) { fn(ctx, text.c_str()); });
  return token;
}

int32_t CallbackRegistry::Unregister(int64_t token) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = records_.find(token);
  if (found == records_.end()) {
    Log("ERROR: Engine unregisters unknown callback token: ", token);
    return -1;
  }
  Log("Engine unregisters callback token: ", token, " for device with ID: ", found->second.proxyId, "...");
  found->second.connection.disconnect();
  records_.erase(found);
  return 0;
}

std::size_t CallbackRegistry::Size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return records_.size();
}

CallbackRegistry& GlobalCallbackRegistry() {
  static CallbackRegistry registry;
  return registry;
}

}  // namespace Vextro
