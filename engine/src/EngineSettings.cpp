#include "EngineSettings.h"

#include <cerrno>
#include <cstdlib>

#include "DnsSdAdvertiser.h"
#include "platform/app_data.h"

namespace tvsk {
namespace {

constexpr const char* kPortVariable = "TVSK_HTTP_PORT";
constexpr const char* kPluginDirsVariable = "TVSK_PLUGIN_DIRS";
constexpr const char* kPluginsVariable = "TVSK_PLUGINS";
constexpr const char* kSkippedPluginsVariable = "TVSK_PLUGINS_SKIP";
constexpr const char* kDevicesFileVariable = "TVSK_DEVICES_FILE";
constexpr const char* kServiceNameVariable = "TVSK_SERVICE_NAME";
constexpr const char* kActionTimeoutVariable = "TVSK_ACTION_TIMEOUT_MS";
// Longest action timeout accepted: one day.
constexpr long long kMaxActionTimeoutMs = 24LL * 60 * 60 * 1000;
constexpr const char* kVendorFolder = "/Brixel Technologies";

std::string variable(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::string(value) : std::string();
}

std::vector<std::string> split(const std::string& text, const std::string& separators) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t end = text.find_first_of(separators, start);
    const std::size_t stop = end == std::string::npos ? text.size() : end;
    if (stop > start) {
      parts.push_back(text.substr(start, stop - start));
    }
    if (end == std::string::npos) {
      break;
    }
    start = end + 1;
  }
  return parts;
}

}  // namespace

std::vector<std::string> EngineSettings::defaultPluginDirectories() {
  std::vector<std::string> directories{platform::commonAppDataDir() + kVendorFolder + "/Lumora/Plugins"};
  const std::string user = platform::userAppDataDir();
  if (!user.empty()) {
    directories.push_back(user + kVendorFolder + "/lumora/plugins");
  }
  return directories;
}

std::optional<EngineSettings> EngineSettings::fromEnvironment(std::string& error) {
  EngineSettings settings;
  const std::string port = variable(kPortVariable);
  if (!port.empty()) {
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(port.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || value < 0 || value > 65535) {
      error = std::string(kPortVariable) + " is not a port number: " + port;
      return std::nullopt;
    }
    settings.httpPort = static_cast<uint16_t>(value);
  }

  const std::string actionTimeout = variable(kActionTimeoutVariable);
  if (!actionTimeout.empty()) {
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(actionTimeout.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || value < 1 || value > kMaxActionTimeoutMs) {
      error = std::string(kActionTimeoutVariable) + " is not a number of milliseconds from 1 to " +
              std::to_string(kMaxActionTimeoutMs) + ": " + actionTimeout;
      return std::nullopt;
    }
    settings.actionTimeout = std::chrono::milliseconds(value);
  }

  settings.pluginDirectories = split(variable(kPluginDirsVariable), ":");
  if (settings.pluginDirectories.empty()) {
    settings.pluginDirectories = defaultPluginDirectories();
  }
  for (std::string name : split(variable(kPluginsVariable), ",: ")) {
    const std::string suffix = ".so";
    if (name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
      name.resize(name.size() - suffix.size());
    }
    settings.plugins.insert(name);
  }
  settings.skippedPluginFiles = split(variable(kSkippedPluginsVariable), ":");
  settings.devicesFile = variable(kDevicesFileVariable);

  settings.serviceName = variable(kServiceNameVariable);
  if (settings.serviceName.empty()) {
    settings.serviceName = DnsSdAdvertiser::defaultName();
  } else if (settings.serviceName.rfind(DnsSdAdvertiser::kNamePrefix, 0) != 0 || settings.serviceName.size() > 63) {
    error = std::string(kServiceNameVariable) + " must begin \"" + DnsSdAdvertiser::kNamePrefix +
            "\" and fit 63 bytes: " + settings.serviceName;
    return std::nullopt;
  }
  settings.webAppIndexPath = platform::commonAppDataDir() + kVendorFolder + "/Lumora/webapp/index.html";
  return settings;
}

}  // namespace tvsk
