#include "sdp/src/log_text.h"

#include <cstdint>

namespace sdp {
namespace {

// Length of the well-formed UTF-8 character starting at text[at] whose code point a terminal
// shows as text (U+00A0 and up, no surrogates), or 0.
size_t printableCharacterLength(std::string_view text, size_t at) {
  const auto lead = static_cast<unsigned char>(text[at]);
  size_t length = 0;
  uint32_t codePoint = 0;
  uint32_t minimum = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, codePoint = lead & 0x1Fu, minimum = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, codePoint = lead & 0x0Fu, minimum = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, codePoint = lead & 0x07u, minimum = 0x10000;
  } else {
    return 0;
  }
  if (text.size() - at < length) {
    return 0;
  }
  for (size_t i = 1; i < length; ++i) {
    const auto next = static_cast<unsigned char>(text[at + i]);
    if ((next & 0xC0u) != 0x80u) {
      return 0;
    }
    codePoint = (codePoint << 6) | (next & 0x3Fu);
  }
  const bool surrogate = codePoint >= 0xD800 && codePoint <= 0xDFFF;
  if (codePoint < minimum || codePoint < 0xA0 || surrogate || codePoint > 0x10FFFF) {
    return 0;
  }
  return length;
}

}  // namespace

std::string printable(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (size_t at = 0; at < text.size();) {
    const auto byte = static_cast<unsigned char>(text[at]);
    if (byte == '\\') {
      out += "\\\\";
      ++at;
    } else if (byte >= 0x20 && byte < 0x7F) {
      out += text[at];
      ++at;
    } else if (const size_t length = printableCharacterLength(text, at); length > 0) {
      out.append(text.substr(at, length));
      at += length;
    } else {
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 0x0F];
      ++at;
    }
  }
  return out;
}

}  // namespace sdp
