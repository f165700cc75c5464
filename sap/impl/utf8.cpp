#include "sap/impl/utf8.h"

#include <cstdint>

#include "sdp/src/log_text.h"

namespace sap {

namespace {

bool is_allowed_ascii(uint8_t byte) {
  return byte == 0x09 || byte == 0x0A || byte == 0x0D || (byte >= 0x20 && byte <= 0x7E);
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
