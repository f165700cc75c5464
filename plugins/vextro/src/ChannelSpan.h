#pragma once

// The channel block an action asks for: its indices must be contiguous, each one once.

#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

namespace Vextro {

struct ChannelSpan {
  uint32_t start = 0;  // lowest channel index
  uint32_t count = 0;  // number of channels
};

// Lowest index and count, or nothing for a gap or a repeated index. Computed in 32 bits as the
// device numbers channels, so a span that wraps cannot pass for a short one.
[[nodiscard]] inline std::optional<ChannelSpan> ContiguousSpan(std::vector<uint32_t> channels) {
  if (channels.empty()) {
    return std::nullopt;
  }
  std::sort(channels.begin(), channels.end());
  const uint32_t count = channels.back() - channels.front() + 1U;
  if (count != channels.size()) {
    return std::nullopt;
  }
  return ChannelSpan{channels.front(), count};
}

}  // namespace Vextro
