#pragma once

// The plug-in's numbered entry table as the engine fetches it through TVSK_Get_By_Id.
//
// Rule for the engine's change callbacks: a callback runs on the thread that computed the change
// (a proxy's refresh thread, or the engine's own thread inside Action) while that proxy's lock is
// held, and on a refresh thread also the lock over all proxies. From inside a callback the engine
// must not call Get or Action for any proxy, nor Create or Delete. A call for the same proxy would
// deadlock at once; one for another proxy deadlocks as soon as that proxy's callback, on another
// thread, calls back the other way. Such calls are refused: an "ERROR: ..." line in the plug-in
// log and the result -1. The engine reads states it needs from outside the callback.

#include <cstdint>
#include <string>

#include "plugins/vextro/src/Timings.h"
#include "tvsk/DevicePluginEntries.h"

namespace Vextro {

inline constexpr const char* kPluginVersion = "1.4.0";
inline constexpr const char* kApiVersion = "0.10.0";
inline constexpr const char* kPluginDescription = "Proxy for many Ravenna interfaces";
inline constexpr const char* kPluginManufacturer = "Vextro Technologies";
inline constexpr const char* kPluginName = "vextro";
inline constexpr uint32_t kPluginMajor = 1;
inline constexpr uint32_t kPluginMinor = 4;
inline constexpr uint32_t kEntryCount = TVSK_DEVICE_ENTRY_COUNT;

// Address of entry `id` (0..12), null for any larger id.
[[nodiscard]] void* EntryById(uint32_t id);

// Timings of the proxies the entries create: VEXTRO_TIMINGS, read once.
[[nodiscard]] const Timings& PluginTimings();

// The FactoryInfo text.
[[nodiscard]] std::string FactoryInfoText();

}  // namespace Vextro
