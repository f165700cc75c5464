// The plug-in's one export.
#include <cstdint>

#include "plugins/vextro/src/PluginEntries.h"

namespace {
// Timings are read from the environment once, when the library is loaded.
[[maybe_unused]] const Vextro::Timings& kTimingsAtLoad = Vextro::PluginTimings();
}  // namespace

extern "C" __attribute__((visibility("default"))) void* TVSK_Get_By_Id(uint32_t id) {
  return Vextro::EntryById(id);
}
