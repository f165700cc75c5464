#pragma once

// Small conversions shared by the page client, the state builders and the actions. None of the
// public lookups throws: failures are logged and answered with the caller's default.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace Vextro {

// Device parameter name -> value text, iterated in byte order of the names.
using ParameterMap = std::map<std::string, std::string>;

[[nodiscard]] std::string UrlDecode(const std::string& text);
[[nodiscard]] std::string UrlEncode(const std::string& text);
// Whether a parameter's value is URL-encoded when written to the device.
[[nodiscard]] bool NeedsUrlEncoding(const std::string& name);

[[nodiscard]] int32_t GetIntParameter(const ParameterMap& map, const std::string& name, int32_t fallback);
[[nodiscard]] uint32_t GetUIntParameter(const ParameterMap& map, const std::string& name, uint32_t fallback);
[[nodiscard]] std::string GetStringParameter(const ParameterMap& map, const std::string& name,
                                             const std::string& fallback);
[[nodiscard]] uint32_t ParseUInt(const std::string& text, uint32_t fallback);

// "L16", "L24", "L32", "AM824" (any case, blanks around) -> 0..3; otherwise logs and gives 1.
[[nodiscard]] int32_t StreamCodecFromText(const std::string& text);
// 0..3 -> codec name; otherwise logs and gives "L24".
[[nodiscard]] std::string StreamFormatToText(uint32_t code);
// Sample rate from status bits 30, 29, 28; an impossible combination logs and gives 44100.
[[nodiscard]] int32_t SampleRateFromBits(uint32_t rateQuad, uint32_t rateDouble, uint32_t base48);
// Classful mask of a dotted IPv4 address; "" (after a log line) when the text is no address.
[[nodiscard]] std::string DefaultNetmaskForAddress(const std::string& address);

// Splits at every separator, keeping empty fields: n separators give n + 1 fields ("" gives [""]).
[[nodiscard]] std::vector<std::string> SplitFields(const std::string& text, char separator);

// Blank of the classic locale: space, \t, \n, \v, \f, \r.
[[nodiscard]] bool IsAsciiBlank(char c);
// The text without leading and trailing blanks.
[[nodiscard]] std::string TrimBlanks(const std::string& text);

// std::stoi / std::stoul semantics (base 10, leading blanks and a sign accepted, tail ignored)
// with a 32-bit unsigned range on every platform. Throw std::invalid_argument("invalid stoi
// argument") / std::out_of_range("stoi argument out of range") and the "stoul" forms.
[[nodiscard]] int32_t StoiLike(const std::string& text);
[[nodiscard]] uint32_t StoulLike(const std::string& text);
// atoi / atoll semantics, saturating instead of overflowing: 0 when no digits lead.
[[nodiscard]] int32_t AtoiLike(const std::string& text);
[[nodiscard]] int64_t AtollLike(const std::string& text);

}  // namespace Vextro
