// A discovery plug-in whose start entry throws, as a failed host-name lookup does, so tests see
// the engine destroy it, unload it and go on.
#include <cstdint>
#include <stdexcept>

#include "tvsk/DiscoveryPluginEntries.h"

namespace {

int marker = 0;

int start(void*, const char*) { throw std::runtime_error("start exploded"); }
int create(void** out, const char*) {
  *out = &marker;
  return 1;
}
int destroy(void* object) {
  if (object == &marker) marker = 1;
  return 0;
}
int setCallback(void*, void (*)(void*, const char*), void*) { return 0; }
int getVersion(int* major, int* minor) {
  *major = 7;
  *minor = 7;
  return 0;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) void* TVSK_Disco_Get_By_Id(uint32_t id) {
  switch (id) {
    case TVSK_DISCOVERY_START: return tvsk::discoveryEntryAddress<TVSK_DISCOVERY_START>(&start);
    case TVSK_DISCOVERY_CREATE: return tvsk::discoveryEntryAddress<TVSK_DISCOVERY_CREATE>(&create);
    case TVSK_DISCOVERY_DESTROY: return tvsk::discoveryEntryAddress<TVSK_DISCOVERY_DESTROY>(&destroy);
    case TVSK_DISCOVERY_SET_CALLBACK: return tvsk::discoveryEntryAddress<TVSK_DISCOVERY_SET_CALLBACK>(&setCallback);
    case TVSK_DISCOVERY_GET_VERSION: return tvsk::discoveryEntryAddress<TVSK_DISCOVERY_GET_VERSION>(&getVersion);
    default: return nullptr;
  }
}
