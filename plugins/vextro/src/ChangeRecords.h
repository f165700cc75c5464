#pragma once

// Change records: what changed between two device states, addressed by JSONPath texts into the
// engine's document of all devices.

#include <cstdint>
#include <string>

#include "plugins/vextro/src/JsonCompat.h"

namespace Vextro {

enum class ChangeOperation : int64_t { Added = 0, Changed = 1, Removed = 2 };

[[nodiscard]] std::string DevicePath(uint64_t id);
[[nodiscard]] std::string ReceiverPath(uint64_t id, uint64_t slot);
[[nodiscard]] std::string StreamerPath(uint64_t id, uint64_t slot);

// Index of the first object in document[member] whose "Id" equals id; -1 when there is none.
// Throws std::runtime_error("Not an int") for an element whose "Id" is not an integer.
[[nodiscard]] int64_t FindIndexById(const Json& document, const std::string& member, int64_t id);

// Records, in order: receivers added/changed, receivers removed, streamers added/changed,
// streamers removed, a device record for a changed "Status", another for changed "IOGroups".
[[nodiscard]] Json ComputeChangeRecords(uint32_t proxyId, const Json& current, const Json& next);

}  // namespace Vextro
