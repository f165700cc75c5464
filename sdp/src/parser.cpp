#include "sdp/src/parser.h"

namespace sdp {

std::shared_ptr<session_description> parse_session_description(std::string_view) {
  return std::make_shared<session_description>();
}
origin parse_origin(std::string_view) { return {}; }
connection parse_connection(std::string_view) { return {}; }
media_description parse_media(std::string_view) { return {}; }
std::optional<bandwidth> parse_bandwidth(std::string_view) { return std::nullopt; }
std::optional<time_description> parse_time(std::string_view) { return std::nullopt; }

}  // namespace sdp
