#pragma once

#include <memory>
#include <optional>
#include <string_view>

#include "sdp/src/session_description.h"

namespace sdp {

// Parses an SDP text leniently: only known line types are read, order and version are not
// checked, malformed lines are skipped. Never throws and never returns null; bounded by the
// input (every byte is untrusted network input).
[[nodiscard]] std::shared_ptr<session_description> parse_session_description(std::string_view text);

// Line parsers, each given the value after the two-character prefix. Fields are split at
// blanks; missing fields stay empty.
[[nodiscard]] origin parse_origin(std::string_view value);
[[nodiscard]] connection parse_connection(std::string_view value);
[[nodiscard]] media_description parse_media(std::string_view value);
// Empty when there is no ':' or the number does not fit 32 bits unsigned.
[[nodiscard]] std::optional<bandwidth> parse_bandwidth(std::string_view value);
// Empty when a number does not fit 32 bits unsigned; a missing stop time is 0.
[[nodiscard]] std::optional<time_description> parse_time(std::string_view value);

}  // namespace sdp
