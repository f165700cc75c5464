#pragma once

// The enable flags of the stream slots, looked up once per state build: the status, streamer and
// receiver builders ask for each of them several times. A flag whose lookup logs (missing or
// unreadable) is not kept, so it is looked up, and logged, every time, as it always was.

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "plugins/vextro/src/Codecs.h"
#include "plugins/vextro/src/DeviceState.h"

namespace Vextro {

class SlotEnables {
 public:
  explicit SlotEnables(const ParameterMap& configuration) : configuration_(configuration) {}

  [[nodiscard]] bool Receiver(uint32_t slot) { return Lookup(receivers_[slot], ReceiverPrefix(slot)); }
  [[nodiscard]] bool Streamer(uint32_t slot) { return Lookup(streamers_[slot], StreamerPrefix(slot)); }

 private:
  bool Lookup(std::optional<bool>& known, const std::string& prefix) {
    if (known) {
      return *known;
    }
    const std::string name = prefix + "_ENABLE";
    if (const auto found = configuration_.find(name); found != configuration_.end()) {
      try {
        known = StoiLike(found->second) != 0;
        return *known;
      } catch (const std::exception&) {
        // Unreadable: the lookup below logs it.
      }
    }
    return GetIntParameter(configuration_, name, 0) != 0;
  }

  const ParameterMap& configuration_;
  std::array<std::optional<bool>, kStreamSlotCount> receivers_;
  std::array<std::optional<bool>, kStreamSlotCount> streamers_;
};

}  // namespace Vextro
