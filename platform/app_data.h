#pragma once

#include <string>

namespace platform {

// Per-user application-data folder: $APPDATA when set, else $XDG_CONFIG_HOME when it is an
// absolute path, else $HOME/.config. Empty when none is known: callers then keep their data in memory.
[[nodiscard]] std::string userAppDataDir();

// Machine-wide application-data folder: $PROGRAMDATA when set, else /var/lib.
[[nodiscard]] std::string commonAppDataDir();

// File-name suffix of loadable plug-ins on this platform.
inline constexpr const char* kSharedLibrarySuffix = ".so";

}  // namespace platform
