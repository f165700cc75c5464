#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "tvsk/CompactJson.h"

namespace tvsk {

using Json = nlohmann::json;

// Deepest nesting any JSON text from a peer (HTTP client or plug-in) may have; deeper texts are
// refused, because serialising them again would recurse once per level.
inline constexpr std::size_t kMaxJsonDepth = 64;

// Nesting depth of arrays and objects in a text, ignoring brackets inside strings. Stops counting
// (and returns limit + 1) once the limit is passed.
[[nodiscard]] std::size_t jsonNestingDepth(std::string_view text, std::size_t limit = kMaxJsonDepth);

// The parsed text, or nothing when it is not JSON or nested deeper than kMaxJsonDepth.
[[nodiscard]] std::optional<Json> parseJson(std::string_view text);

}  // namespace tvsk
