#include "TaviskEngine.h"

#include <string>

#include "Engine.h"
#include "EngineLog.h"

// Each entry prints its call and result, so a log of the engine process shows what the agent asked.

namespace {
std::string printable(const char* text) { return text != nullptr ? text : "(null)"; }
}  // namespace

extern "C" int TVSK_AddInterfaceFilter(const char* address, const char* netmask) {
  const int result = tvsk::Engine::instance().addInterfaceFilter(address, netmask);
  tvsk::printLine("TVSK_AddInterfaceFilter(" + printable(address) + "," + printable(netmask) + ") -> " +
                  std::to_string(result));
  return result;
}

extern "C" int TVSK_Initialize(int instance, int options, int role) {
  const int result = tvsk::Engine::instance().initialize(instance, options, role);
  tvsk::printLine("TVSK_Initialize(" + std::to_string(instance) + "," + std::to_string(options) + "," +
                  std::to_string(role) + ") -> " + std::to_string(result));
  return result;
}

extern "C" int TVSK_Uninitialize(void) {
  const int result = tvsk::Engine::instance().uninitialize();
  tvsk::printLine("TVSK_Uninitialize() -> " + std::to_string(result));
  return result;
}
