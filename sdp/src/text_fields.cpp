#include "sdp/src/text_fields.h"

#include <array>
#include <charconv>
#include <cmath>
#include <limits>

namespace sdp::text {

void field_list::spill(std::string_view field) {
  if (spilled_.empty()) {
    spilled_.assign(inline_.begin(), inline_.end());
  }
  spilled_.push_back(field);
  ++size_;
}

field_list split_fields(std::string_view text, const separator_set& separators) {
  field_list fields;
  const char* at = text.data();
  const char* const end = at + text.size();
  while (at < end) {
    while (at < end && separators.contains(*at)) {
      ++at;
    }
    const char* const start = at;
    while (at < end && !separators.contains(*at)) {
      ++at;
    }
    if (at > start) {
      fields.push_back(std::string_view(start, static_cast<std::size_t>(at - start)));
    }
  }
  return fields;
}

field_list split_parts(std::string_view text, char separator) {
  field_list parts;
  std::size_t start = 0;
  while (true) {
    const std::size_t end = text.find(separator, start);
    if (end == std::string_view::npos) {
      parts.push_back(text.substr(start));
      return parts;
    }
    parts.push_back(text.substr(start, end - start));
    start = end + 1;
  }
}

namespace {

template <typename Unsigned>
std::optional<Unsigned> to_unsigned(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) {
    return std::nullopt;
  }
  uint64_t magnitude = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') {
      return std::nullopt;
    }
    magnitude = magnitude * 10 + static_cast<uint64_t>(c - '0');
    if (magnitude > std::numeric_limits<Unsigned>::max()) {
      return std::nullopt;
    }
  }
  const auto value = static_cast<Unsigned>(magnitude);
  return negative ? static_cast<Unsigned>(Unsigned{0} - value) : value;
}

}  // namespace

std::optional<uint16_t> to_uint16(std::string_view text) { return to_unsigned<uint16_t>(text); }

std::optional<uint32_t> to_uint32(std::string_view text) { return to_unsigned<uint32_t>(text); }

std::optional<float> to_float(std::string_view text) {
  if (!text.empty() && text.front() == '+') {
    text.remove_prefix(1);
    if (!text.empty() && text.front() == '-') {
      return std::nullopt;
    }
  }
  float value = 0;
  const char* const end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value, std::chars_format::general);
  if (stop != end) {
    return std::nullopt;
  }
  if (error == std::errc()) {
    return value;
  }
  // Too small for a float reads as (signed) zero, as a stream conversion does; too large does
  // not convert.
  long double wide = 0;
  const auto [wide_stop, wide_error] = std::from_chars(text.data(), end, wide, std::chars_format::general);
  if (error == std::errc::result_out_of_range && wide_error == std::errc() && wide_stop == end && std::fabs(wide) < 1) {
    return static_cast<float>(wide);
  }
  return std::nullopt;
}

std::optional<uint8_t> hex_byte(std::string_view text) {
  if (text.empty() || text.size() > 2) {
    return std::nullopt;
  }
  unsigned value = 0;
  for (const char c : text) {
    unsigned digit = 0;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (c >= 'A' && c <= 'F') {
      digit = static_cast<unsigned>(c - 'A' + 10);
    } else if (c >= 'a' && c <= 'f') {
      digit = static_cast<unsigned>(c - 'a' + 10);
    } else {
      return std::nullopt;
    }
    value = value * 16 + digit;
  }
  return static_cast<uint8_t>(value);
}

std::string format_float(float value) {
  std::array<char, 32> buffer{};
  const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value, std::chars_format::general, 9);
  return std::string(buffer.data(), result.ptr);
}

}  // namespace sdp::text
