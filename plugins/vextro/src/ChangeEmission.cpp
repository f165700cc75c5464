#include "plugins/vextro/src/ChangeEmission.h"

#include <algorithm>
#include <vector>

namespace Vextro {
namespace {

// Innermost last; a callback of one proxy may act on another, whose callbacks then nest.
std::vector<const RavennaDeviceProxy*>& EmittingProxies() {
  thread_local std::vector<const RavennaDeviceProxy*> proxies;
  return proxies;
}

}  // namespace

ChangeEmissionScope::ChangeEmissionScope(const RavennaDeviceProxy* proxy) { EmittingProxies().push_back(proxy); }

ChangeEmissionScope::~ChangeEmissionScope() { EmittingProxies().pop_back(); }

bool ChangeEmissionScope::IsEmitting(const RavennaDeviceProxy* proxy) {
  const auto& proxies = EmittingProxies();
  return std::find(proxies.begin(), proxies.end(), proxy) != proxies.end();
}

bool ChangeEmissionScope::IsEmittingAny() { return !EmittingProxies().empty(); }

}  // namespace Vextro
