// The plug-in's one export.
#include <cstdint>
#include <type_traits>

#include "plugins/vextro/src/PluginEntries.h"
#include "tvsk/DevicePluginEntries.h"

namespace {
// Timings are read from the environment once, when the library is loaded.
[[maybe_unused]] const Vextro::Timings& kTimingsAtLoad = Vextro::PluginTimings();
}  // namespace

extern "C" __attribute__((visibility("default"))) void* TVSK_Get_By_Id(uint32_t id) {
  static_assert(std::is_same_v<decltype(&TVSK_Get_By_Id), TVSK_Get_By_Id_Fn>);
  return Vextro::EntryById(id);
}
