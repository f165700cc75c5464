// The plug-in's one export and its entry table. No exception leaves an entry: a failing entry
// prints why and returns -1.
#include <cstdio>
#include <exception>

#include "plugins/annwatch/annwatch_version.h"
#include "plugins/annwatch/discovery_sap.h"
#include "plugins/annwatch/entry_json.h"

namespace {

using annwatch::DiscoverySap;

constexpr int kOk = 0;
constexpr int kCreated = 1;
constexpr int kBadArgument = -1;
constexpr const char* kEmptyJson = "{}";

template <typename Body>
int guarded(const char* entry, Body body) {
  try {
    return body();
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s: %s\n", entry, error.what());
  } catch (...) {
    std::fprintf(stderr, "%s: unknown exception\n", entry);
  }
  return kBadArgument;
}

int DiscoverySap_Noop() { return kOk; }

int DiscoverySap_Create(void** out, const char* create_json) {
  if (out == nullptr) {
    return kBadArgument;
  }
  *out = nullptr;
  return guarded("DiscoverySap_Create", [&] {
    const int32_t start_id = annwatch::read_start_id(create_json ? create_json : kEmptyJson);
    *out = new DiscoverySap(start_id);
    return kCreated;
  });
}

int DiscoverySap_Start(void* discovery, const char* start_json) {
  if (discovery == nullptr) {
    return kBadArgument;
  }
  return guarded("DiscoverySap_Start", [&] {
    const char* text = start_json ? start_json : kEmptyJson;
    const uint64_t filter_address = annwatch::read_list_address(text);
    std::printf("%s\n", text);
    std::fflush(stdout);
    if (!static_cast<DiscoverySap*>(discovery)->list_interfaces(filter_address)) {
      std::fprintf(stderr, "DiscoverySap_Start: already started\n");
      return kBadArgument;
    }
    return kOk;
  });
}

int DiscoverySap_Destroy(void* discovery) {
  if (discovery == nullptr) {
    return kOk;
  }
  return guarded("DiscoverySap_Destroy", [&] {
    auto* object = static_cast<DiscoverySap*>(discovery);
    // From inside the callback the worker would have to join itself.
    if (!object->stop()) {
      std::fprintf(stderr, "DiscoverySap_Destroy: refused on the discovery thread\n");
      return kBadArgument;
    }
    delete object;
    return kOk;
  });
}

int DiscoverySap_SetCallback(void* discovery, DiscoveryCallback fn, void* user) {
  if (discovery == nullptr) {
    return kBadArgument;
  }
  static_cast<DiscoverySap*>(discovery)->set_callback(fn, user);
  return kOk;
}

int DiscoverySap_FreeBuffer(char* buffer) {
  delete[] buffer;
  return kOk;
}

int DiscoverySap_GetVersion(int* major, int* minor) {
  if (major == nullptr || minor == nullptr) {
    return kBadArgument;
  }
  *major = annwatch::kVersionMajor;
  *minor = annwatch::kVersionMinor;
  return kOk;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) void* TVSK_Disco_Get_By_Id(uint32_t id) {
  switch (id) {
    case TVSK_DISCOVERY_NOOP_0: return tvsk::discoveryEntryAddress<TVSK_DISCOVERY_NOOP_0>(&DiscoverySap_Noop);
    case TVSK_DISCOVERY_NOOP_1: return tvsk::discoveryEntryAddress<TVSK_DISCOVERY_NOOP_1>(&DiscoverySap_Noop);
    case TVSK_DISCOVERY_NOOP_6: return tvsk::discoveryEntryAddress<TVSK_DISCOVERY_NOOP_6>(&DiscoverySap_Noop);
    case TVSK_DISCOVERY_START: return tvsk::discoveryEntryAddress<TVSK_DISCOVERY_START>(&DiscoverySap_Start);
    case TVSK_DISCOVERY_CREATE: return tvsk::discoveryEntryAddress<TVSK_DISCOVERY_CREATE>(&DiscoverySap_Create);
    case TVSK_DISCOVERY_DESTROY: return tvsk::discoveryEntryAddress<TVSK_DISCOVERY_DESTROY>(&DiscoverySap_Destroy);
    case TVSK_DISCOVERY_SET_CALLBACK:
      return tvsk::discoveryEntryAddress<TVSK_DISCOVERY_SET_CALLBACK>(&DiscoverySap_SetCallback);
    case TVSK_DISCOVERY_FREE_BUFFER:
      return tvsk::discoveryEntryAddress<TVSK_DISCOVERY_FREE_BUFFER>(&DiscoverySap_FreeBuffer);
    case TVSK_DISCOVERY_GET_VERSION:
      return tvsk::discoveryEntryAddress<TVSK_DISCOVERY_GET_VERSION>(&DiscoverySap_GetVersion);
    default: return nullptr;
  }
}
