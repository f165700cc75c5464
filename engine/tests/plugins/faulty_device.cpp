// A device plug-in that starts normally and then throws from its probe entry, so tests see the
// engine pass over it and go on with the next plug-in.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "tvsk/DevicePluginEntries.h"

namespace {

char* copyText(const char* text) {
  char* buffer = static_cast<char*>(std::malloc(std::strlen(text) + 1));
  if (buffer != nullptr) std::strcpy(buffer, text);
  return buffer;
}

int32_t getInfo(char** out) {
  *out = copyText("{\"Description\":\"throws from Probe\"}");
  return 0;
}
int32_t noArguments() { return 0; }
int32_t probe(const char*) { throw std::runtime_error("probe exploded"); }
int32_t create(uint32_t, const char*, void**) { return -1; }
int32_t destroy(void*) { return 0; }
int32_t action(void*, const char*) { return 0; }
int32_t get(void*, const char*, char**, uint32_t*) { return 0; }
int32_t freeBuffer(void* buffer) {
  std::free(buffer);
  return 0;
}
int64_t registerCallback(void*, void (*)(void*, const char*), void*) { return 0; }
int32_t unregisterCallback(int64_t) { return 0; }
int32_t ten() { return 10; }
int32_t getPluginId(uint32_t* major, uint32_t* minor, char** name) {
  *major = 9;
  *minor = 9;
  *name = copyText("faulty");
  return 0;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) void* TVSK_Get_By_Id(uint32_t id) {
  switch (id) {
    case TVSK_DEVICE_GET_INFO: return tvsk::deviceEntryAddress<TVSK_DEVICE_GET_INFO>(&getInfo);
    case TVSK_DEVICE_INITIALIZE: return tvsk::deviceEntryAddress<TVSK_DEVICE_INITIALIZE>(&noArguments);
    case TVSK_DEVICE_UNINITIALIZE: return tvsk::deviceEntryAddress<TVSK_DEVICE_UNINITIALIZE>(&noArguments);
    case TVSK_DEVICE_PROBE: return tvsk::deviceEntryAddress<TVSK_DEVICE_PROBE>(&probe);
    case TVSK_DEVICE_CREATE: return tvsk::deviceEntryAddress<TVSK_DEVICE_CREATE>(&create);
    case TVSK_DEVICE_DELETE: return tvsk::deviceEntryAddress<TVSK_DEVICE_DELETE>(&destroy);
    case TVSK_DEVICE_ACTION: return tvsk::deviceEntryAddress<TVSK_DEVICE_ACTION>(&action);
    case TVSK_DEVICE_GET: return tvsk::deviceEntryAddress<TVSK_DEVICE_GET>(&get);
    case TVSK_DEVICE_FREE_BUFFER: return tvsk::deviceEntryAddress<TVSK_DEVICE_FREE_BUFFER>(&freeBuffer);
    case TVSK_DEVICE_REGISTER_CALLBACK:
      return tvsk::deviceEntryAddress<TVSK_DEVICE_REGISTER_CALLBACK>(&registerCallback);
    case TVSK_DEVICE_UNREGISTER_CALLBACK:
      return tvsk::deviceEntryAddress<TVSK_DEVICE_UNREGISTER_CALLBACK>(&unregisterCallback);
    case TVSK_DEVICE_ENTRY_11: return tvsk::deviceEntryAddress<TVSK_DEVICE_ENTRY_11>(&ten);
    case TVSK_DEVICE_GET_PLUGIN_ID: return tvsk::deviceEntryAddress<TVSK_DEVICE_GET_PLUGIN_ID>(&getPluginId);
    default: return nullptr;
  }
}
