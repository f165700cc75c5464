// A device plug-in that starts normally and then throws from its probe entry, so tests see the
// engine pass over it and go on with the next plug-in.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

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
    case 0: return reinterpret_cast<void*>(&getInfo);
    case 1: return reinterpret_cast<void*>(&noArguments);
    case 2: return reinterpret_cast<void*>(&noArguments);
    case 3: return reinterpret_cast<void*>(&probe);
    case 4: return reinterpret_cast<void*>(&create);
    case 5: return reinterpret_cast<void*>(&destroy);
    case 6: return reinterpret_cast<void*>(&action);
    case 7: return reinterpret_cast<void*>(&get);
    case 8: return reinterpret_cast<void*>(&freeBuffer);
    case 9: return reinterpret_cast<void*>(&registerCallback);
    case 10: return reinterpret_cast<void*>(&unregisterCallback);
    case 11: return reinterpret_cast<void*>(&ten);
    case 12: return reinterpret_cast<void*>(&getPluginId);
    default: return nullptr;
  }
}
