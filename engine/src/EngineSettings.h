#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace tvsk {

// What the environment tells a starting engine.
//   TVSK_HTTP_PORT     HTTP port (default 0: an ephemeral port)
//   TVSK_PLUGIN_DIRS   colon-separated plug-in folders (default: the common, then the user folder)
//   TVSK_PLUGINS       comma- or colon-separated plug-in names to load (default: all found)
//   TVSK_PLUGINS_SKIP  colon-separated plug-in files not to load (the user's choice in the agent)
//   TVSK_DEVICES_FILE  JSON array of device init objects
//   TVSK_SERVICE_NAME  DNS-SD instance name, beginning "_lumora" (default "_lumora_<host>_<pid>")
//   TVSK_ACTION_TIMEOUT_MS  how long an action's client waits before it is answered 504 (default
//                      30000); a list still waiting for its device then is dropped
struct EngineSettings {
  uint16_t httpPort = 0;
  std::chrono::milliseconds actionTimeout{30000};
  std::vector<std::string> pluginDirectories;
  std::set<std::string> plugins;
  std::vector<std::string> skippedPluginFiles;
  std::string devicesFile;
  std::string serviceName;
  std::string webAppIndexPath;

  // Nothing, with `error` set, when a variable holds an unusable value.
  [[nodiscard]] static std::optional<EngineSettings> fromEnvironment(std::string& error);
  // <common>/Brixel Technologies/Lumora/Plugins, then <user>/Brixel Technologies/lumora/plugins.
  [[nodiscard]] static std::vector<std::string> defaultPluginDirectories();
};

}  // namespace tvsk
