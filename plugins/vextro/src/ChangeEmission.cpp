#include "plugins/vextro/src/ChangeEmission.h"

#include <vector>

namespace Vextro {
namespace {

// Innermost last.
std::vector<const RavennaDeviceProxy*>& EmittingProxies() {
  thread_local std::vector<const RavennaDeviceProxy*> proxies;
  return proxies;
}

}  // namespace

ChangeEmissionScope::ChangeEmissionScope(const RavennaDeviceProxy* proxy) { EmittingProxies().push_back(proxy); }

ChangeEmissionScope::~ChangeEmissionScope() { EmittingProxies().pop_back(); }

bool ChangeEmissionScope::IsEmittingAny() { return !EmittingProxies().empty(); }

}  // namespace Vextro
