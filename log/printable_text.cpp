#include "log/printable_text.h"

#include <algorithm>
#include <cstdint>

namespace lumora_log {
namespace {

bool in_range(uint8_t byte, uint8_t low, uint8_t high) { return byte >= low && byte <= high; }

}  // namespace

size_t utf8_sequence_length(std::string_view text, size_t at) {
  const auto byte = [&](size_t k) { return static_cast<uint8_t>(text[at + k]); };
  const size_t left = text.size() - at;
  // The second byte's range is what rules out overlong forms, surrogates and values past U+10FFFF.
  const auto continues = [&](size_t count, uint8_t low1, uint8_t high1) {
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
  const uint8_t lead = byte(0);
  if (in_range(lead, 0xC2, 0xDF)) return continues(1, 0x80, 0xBF) ? 2 : 0;
  if (lead == 0xE0) return continues(2, 0xA0, 0xBF) ? 3 : 0;
  if (in_range(lead, 0xE1, 0xEC) || in_range(lead, 0xEE, 0xEF)) return continues(2, 0x80, 0xBF) ? 3 : 0;
  if (lead == 0xED) return continues(2, 0x80, 0x9F) ? 3 : 0;
  if (lead == 0xF0) return continues(3, 0x90, 0xBF) ? 4 : 0;
  if (in_range(lead, 0xF1, 0xF3)) return continues(3, 0x80, 0xBF) ? 4 : 0;
  if (lead == 0xF4) return continues(3, 0x80, 0x8F) ? 4 : 0;
  return 0;
}

std::string printable(std::string_view text) { return printable(text, std::string_view::npos); }

std::string printable(std::string_view text, size_t max_size) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  static constexpr std::string_view kCut = "...";
  std::string out;
  out.reserve(std::min(text.size(), max_size));
  // Where the text is cut when it does not fit: the last piece boundary that leaves room for "...".
  size_t cut_at = 0;
  const auto cut = [&] {
    out.resize(cut_at);
    out.append(kCut.substr(0, max_size - cut_at));
    return out;
  };
  for (size_t at = 0; at < text.size();) {
    if (out.size() > max_size) {
      return cut();
    }
    if (out.size() + kCut.size() <= max_size) {
      cut_at = out.size();
    }
    const auto byte = static_cast<uint8_t>(text[at]);
    const size_t length = utf8_sequence_length(text, at);
    // U+0080..U+009F are C1 controls: U+009B starts a terminal command like ESC [ does.
    const bool c1Control = length == 2 && byte == 0xC2 && static_cast<uint8_t>(text[at + 1]) < 0xA0;
    if (byte == '\\') {
      out += "\\\\";
      ++at;
    } else if (byte >= 0x20 && byte < 0x7F) {
      out += text[at];
      ++at;
    } else if (length > 0 && !c1Control) {
      out.append(text.substr(at, length));
      at += length;
    } else {
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 0x0F];
      ++at;
    }
  }
  return out.size() > max_size ? cut() : out;
}

}  // namespace lumora_log
