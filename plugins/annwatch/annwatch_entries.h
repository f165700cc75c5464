#pragma once

// The plug-in's own constants; its entry numbers and function types are the engine interface's
// (tvsk/DiscoveryPluginEntries.h).

#include "tvsk/DiscoveryPluginEntries.h"

namespace annwatch {

constexpr int kVersionMajor = 0;
constexpr int kVersionMinor = 3;

}  // namespace annwatch
