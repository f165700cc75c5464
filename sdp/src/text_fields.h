#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Field splitting and number conversion shared by the SDP line and attribute parsers. All of it
// is locale-independent and bounds-checked: the texts come from the network.
namespace sdp::text {

// The characters a text is split at, as a table: one lookup per character scanned.
class separator_set {
 public:
  // From the separator characters, e.g. " \t".
  constexpr separator_set(const char* characters) : table_{} {  // NOLINT(google-explicit-constructor)
    for (; *characters != '\0'; ++characters) {
      table_[static_cast<unsigned char>(*characters)] = true;
    }
  }
  [[nodiscard]] constexpr bool contains(char c) const { return table_[static_cast<unsigned char>(c)]; }

 private:
  std::array<bool, 256> table_;
};

// The fields of one split. The fields of an SDP line are few, so they are kept in place; only a
// longer list (a midi-pre list) moves to the heap.
class field_list {
 public:
  static constexpr std::size_t kInline = 16;

  void push_back(std::string_view field) {
    if (size_ < kInline) {
      inline_[size_++] = field;
    } else {
      spill(field);
    }
  }
  [[nodiscard]] std::size_t size() const { return size_; }
  [[nodiscard]] bool empty() const { return size_ == 0; }
  [[nodiscard]] std::string_view operator[](std::size_t index) const { return begin()[index]; }
  [[nodiscard]] const std::string_view* begin() const { return spilled_.empty() ? inline_.data() : spilled_.data(); }
  [[nodiscard]] const std::string_view* end() const { return begin() + size_; }

 private:
  void spill(std::string_view field);

  std::array<std::string_view, kInline> inline_;
  std::vector<std::string_view> spilled_;
  std::size_t size_ = 0;
};

// Splits at any of the separator characters; empty fields are dropped.
[[nodiscard]] field_list split_fields(std::string_view text, const separator_set& separators);

// Splits at one separator character, keeping empty parts ("a;" gives "a" and "").
[[nodiscard]] field_list split_parts(std::string_view text, char separator);

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
