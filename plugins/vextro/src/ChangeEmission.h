#pragma once

// Which proxies are firing their change signal on the calling thread. A change callback runs with
// the proxy's lock held (and, on a refresh thread, the live-proxy list lock), so a call back into
// the plug-in from inside it would deadlock; the entry functions ask here and refuse instead.

namespace Vextro {

class RavennaDeviceProxy;

class ChangeEmissionScope {
 public:
  explicit ChangeEmissionScope(const RavennaDeviceProxy* proxy);
  ~ChangeEmissionScope();
  ChangeEmissionScope(const ChangeEmissionScope&) = delete;
  ChangeEmissionScope& operator=(const ChangeEmissionScope&) = delete;

  // This thread is inside any change callback.
  [[nodiscard]] static bool IsEmittingAny();
};

}  // namespace Vextro
