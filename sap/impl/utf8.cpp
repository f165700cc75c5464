#include "sap/impl/utf8.h"

#include <array>
#include <cstdint>

#include "sdp/src/log_text.h"

namespace sap {

namespace {

// One lookup per byte: announcements are almost all ASCII.
constexpr std::array<bool, 256> allowed_ascii_table() {
  std::array<bool, 256> table{};
  for (unsigned byte = 0x20; byte <= 0x7E; ++byte) {
    table[byte] = true;
  }
  table[0x09] = table[0x0A] = table[0x0D] = true;
  return table;
}

constexpr std::array<bool, 256> kAllowedAscii = allowed_ascii_table();

bool is_allowed_ascii(uint8_t byte) {
  return kAllowedAscii[byte];
}

}  // namespace

bool is_valid_utf8(std::string_view text) {
  size_t at = 0;
  while (at < text.size()) {
    if (is_allowed_ascii(static_cast<uint8_t>(text[at]))) {
      ++at;
      continue;
    }
    const size_t length = sdp::utf8_sequence_length(text, at);
    if (length == 0) {
      return false;
    }
    at += length;
  }
  return true;
}

}  // namespace sap
