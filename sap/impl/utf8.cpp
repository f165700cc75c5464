#include "sap/impl/utf8.h"

#include <array>
#include <cstdint>
#include <cstring>

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

bool is_allowed_ascii(uint8_t byte) { return kAllowedAscii[byte]; }

constexpr size_t kWord = sizeof(uint64_t);
constexpr uint64_t kEveryByte = 0x0101010101010101ULL;
constexpr uint64_t kHighBits = 0x8080808080808080ULL;

// Eight bytes at once, all within 0x20..0x7E: no byte below 0x20 and none above 0x7E.
bool is_printable_word(uint64_t word) {
  const uint64_t below = (word - kEveryByte * 0x20) & ~word & kHighBits;
  const uint64_t above = ((word + kEveryByte * (0x7F - 0x7E)) | word) & kHighBits;
  return (below | above) == 0;
}

}  // namespace

bool is_valid_utf8(std::string_view text) {
  size_t at = 0;
  while (at < text.size()) {
    if (at + kWord <= text.size()) {
      uint64_t word = 0;
      std::memcpy(&word, text.data() + at, kWord);
      if (is_printable_word(word)) {
        at += kWord;
        continue;
      }
    }
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
