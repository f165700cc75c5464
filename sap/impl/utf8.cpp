#include "sap/impl/utf8.h"

#include <cstdint>

namespace sap {

namespace {

bool in_range(uint8_t byte, uint8_t low, uint8_t high) {
  return byte >= low && byte <= high;
}

bool is_allowed_ascii(uint8_t byte) {
  return byte == 0x09 || byte == 0x0A || byte == 0x0D || in_range(byte, 0x20, 0x7E);
}

// Length of the well-formed multi-byte sequence at text[at], or 0 when there is none.
size_t multibyte_length(std::string_view text, size_t at) {
  const auto byte = [&](size_t k) { return static_cast<uint8_t>(text[at + k]); };
  const size_t left = text.size() - at;
  const uint8_t lead = byte(0);
  auto continues = [&](size_t count, uint8_t low1, uint8_t high1) {
    if (left < count + 1 || !in_range(byte(1), low1, high1)) {
      return false;
    }
    for (size_t k = 2; k <= count; ++k) {
      if (!in_range(byte(k), 0x80, 0xBF)) {
        return false;
      }
    }
    return true;
  };
  if (in_range(lead, 0xC2, 0xDF)) return continues(1, 0x80, 0xBF) ? 2 : 0;
  if (lead == 0xE0) return continues(2, 0xA0, 0xBF) ? 3 : 0;
  if (in_range(lead, 0xE1, 0xEC) || in_range(lead, 0xEE, 0xEF)) return continues(2, 0x80, 0xBF) ? 3 : 0;
  if (lead == 0xED) return continues(2, 0x80, 0x9F) ? 3 : 0;
  if (lead == 0xF0) return continues(3, 0x90, 0xBF) ? 4 : 0;
  if (in_range(lead, 0xF1, 0xF3)) return continues(3, 0x80, 0xBF) ? 4 : 0;
  if (lead == 0xF4) return continues(3, 0x80, 0x8F) ? 4 : 0;
  return 0;
}

}  // namespace

bool is_valid_utf8(std::string_view text) {
  size_t at = 0;
  while (at < text.size()) {
    if (is_allowed_ascii(static_cast<uint8_t>(text[at]))) {
      ++at;
      continue;
    }
    const size_t length = multibyte_length(text, at);
    if (length == 0) {
      return false;
    }
    at += length;
  }
  return true;
}

}  // namespace sap
