#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Field splitting and number conversion shared by the SDP line and attribute parsers. All of it
// is locale-independent and bounds-checked: the texts come from the network.
namespace sdp::text {

// Splits at any of the separator characters; empty fields are dropped.
[[nodiscard]] std::vector<std::string_view> split_fields(std::string_view text, std::string_view separators);

// Splits at one separator character, keeping empty parts ("a;" gives "a" and "").
[[nodiscard]] std::vector<std::string_view> split_parts(std::string_view text, char separator);

// An optional '+' or '-', then digits only, the magnitude within the range of the type; a '-'
// wraps ("-1" gives the type's maximum). Anything else gives nothing.
[[nodiscard]] std::optional<uint16_t> to_uint16(std::string_view text);
[[nodiscard]] std::optional<uint32_t> to_uint32(std::string_view text);

// A decimal floating-point text with an optional sign, or "nan"/"inf"/"infinity" in any case; a
// value too large for a float ("1e40") gives nothing, one too small ("1e-50") gives zero.
[[nodiscard]] std::optional<float> to_float(std::string_view text);

// One or two hexadecimal digits.
[[nodiscard]] std::optional<uint8_t> hex_byte(std::string_view text);

// Shortest form with 9 significant digits, as printf "%.9g" in the C locale.
[[nodiscard]] std::string format_float(float value);

}  // namespace sdp::text
