#include "TaviskEngine.h"

#include <cstdio>

#include "Engine.h"

// Each entry prints its call and result, so a log of the engine process shows what the agent asked.

namespace {
const char* printable(const char* text) { return text != nullptr ? text : "(null)"; }
}  // namespace

extern "C" int TVSK_AddInterfaceFilter(const char* address, const char* netmask) {
  const int result = tvsk::Engine::instance().addInterfaceFilter(address, netmask);
  std::printf("TVSK_AddInterfaceFilter(%s,%s) -> %d\n", printable(address), printable(netmask), result);
  std::fflush(stdout);
  return result;
}

extern "C" int TVSK_Initialize(int instance, int options, int role) {
  const int result = tvsk::Engine::instance().initialize(instance, options, role);
  std::printf("TVSK_Initialize(%d,%d,%d) -> %d\n", instance, options, role, result);
  std::fflush(stdout);
  return result;
}

extern "C" int TVSK_Uninitialize(void) {
  const int result = tvsk::Engine::instance().uninitialize();
  std::printf("TVSK_Uninitialize() -> %d\n", result);
  std::fflush(stdout);
  return result;
}
