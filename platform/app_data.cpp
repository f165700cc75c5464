#include "platform/app_data.h"

#include <cstdlib>

namespace platform {
namespace {

// An empty variable counts as unset: "" would put files at the filesystem root.
const char* nonEmptyEnv(const char* name) {
  const char* value = std::getenv(name);
  return (value != nullptr && *value != '\0') ? value : nullptr;
}

}  // namespace

std::string userAppDataDir() {
  if (const char* appData = nonEmptyEnv("APPDATA")) {
    return appData;
  }
  // A relative XDG path is invalid and ignored, as the XDG base directory rules say.
  if (const char* xdg = nonEmptyEnv("XDG_CONFIG_HOME"); xdg != nullptr && xdg[0] == '/') {
    return xdg;
  }
  if (const char* home = nonEmptyEnv("HOME")) {
    return std::string(home) + "/.config";
  }
  return {};
}

std::string commonAppDataDir() {
  if (const char* programData = nonEmptyEnv("PROGRAMDATA")) {
    return programData;
  }
  return "/var/lib";
}

}  // namespace platform
