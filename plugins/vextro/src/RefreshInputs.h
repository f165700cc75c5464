#pragma once

// What a proxy's device state and caches were last built from by a refresh cycle. A cycle that
// receives the very same page bytes for an unchanged proxy would parse them into the same maps
// and build the same state, so it skips both and only repeats the lines the build logged. When
// some lines changed, the caches are edited instead of parsing the pages anew.

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace Vextro {

struct RefreshInputs {
  std::string configurationBlock;  // header blocks as received
  std::string statisticsBlock;
  bool configurationInOrder = false;  // each parameter line is an entry of its own (EditsBetween)
  bool statisticsInOrder = false;
  bool isRedundant = false;
  std::set<uint32_t> pendingReceiverSlots;

  [[nodiscard]] bool SameAs(const std::string& configuration, const std::string& statistics, bool redundant,
                            const std::set<uint32_t>& pendingSlots) const {
    return redundant == isRedundant && configuration == configurationBlock && statistics == statisticsBlock &&
           pendingSlots == pendingReceiverSlots;
  }
};

}  // namespace Vextro
