#pragma once

// The plug-in's JSON conventions: objects keep their members sorted by key, texts handed out are
// compact, and device strings that are not valid UTF-8 must never make serialisation throw.

#include <cstddef>
#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "tvsk/CompactJson.h"

namespace Vextro {

using Json = nlohmann::json;

// Far deeper than any document the engine sends; serialising is recursive, so a deeper document
// (which parses fine) would overflow the stack when dumped into a log line.
inline constexpr std::size_t kMaxJsonDepth = 128;

// Parses `text`; throws the parser's exception, or std::runtime_error for a document nested more
// than kMaxJsonDepth levels deep.
[[nodiscard]] Json ParseJsonDocument(const std::string& text);

// Compact text; invalid UTF-8 bytes become U+FFFD instead of throwing.
[[nodiscard]] inline std::string DumpCompact(const Json& value) { return tvsk::compactJson(value); }

// A string's characters, or the compact JSON text of any other value.
[[nodiscard]] std::string AsText(const Json& value);

// Unsigned conversion of a JSON value: integers wrap to 32 bits, floats are truncated (in range
// only), booleans give 1 or 0. Anything else throws std::runtime_error("Not an unsigned int").
[[nodiscard]] uint32_t AsUInt32Like(const Json& value);

// Signed conversion with the same rules; anything else throws std::runtime_error("Not an int").
[[nodiscard]] int32_t AsInt32Like(const Json& value);

// A JSON integer that is not negative ("-0" parses as a signed zero and counts too).
[[nodiscard]] bool IsUnsignedInteger(const Json& value);

// A JSON integer that fits a signed 64-bit value.
[[nodiscard]] bool IsSignedInteger(const Json& value);

}  // namespace Vextro
