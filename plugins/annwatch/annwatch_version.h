#pragma once

// The plug-in's version, reported by its version entry and in its create answer; its entry
// numbers and function types are the engine interface's (tvsk/DiscoveryPluginEntries.h).

namespace annwatch {

constexpr int kVersionMajor = 0;
constexpr int kVersionMinor = 3;

}  // namespace annwatch
