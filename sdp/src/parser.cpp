#include "sdp/src/parser.h"

#include <exception>

#include "sdp/src/text_fields.h"

namespace sdp {

namespace {

constexpr text::separator_set kBlank = " ";
// A section's attributes get room for this many at once; an AES67 media section has about six.
constexpr std::size_t kUsualAttributes = 8;

std::string field_or_empty(const text::field_list& fields, std::size_t index) {
  return index < fields.size() ? std::string(fields[index]) : std::string();
}

// The value of one line: everything after the two-character prefix, without trailing CRs.
std::string_view line_value(std::string_view line) {
  std::string_view value = line.substr(2);
  while (!value.empty() && value.back() == '\r') {
    value.remove_suffix(1);
  }
  return value;
}

class line_reader {
 public:
  explicit line_reader(session_description& session) : session_(session) {}

  void read(std::string_view line) {
    // A lone CR of a blank CRLF line, or a stray character: no type to dispatch on.
    if (line.size() < 2 || line[1] != '=') {
      return;
    }
    const std::string_view value = line_value(line);
    switch (line[0]) {
      case 'o': session_.origin = std::make_shared<origin>(parse_origin(value)); break;
      case 's': session_.name = std::string(value); break;
      case 'i': session_.information = std::string(value); break;
      case 'c': connection_slot() = std::make_shared<connection>(parse_connection(value)); break;
      case 'b':
        if (auto parsed = parse_bandwidth(value)) {
          bandwidths().push_back(std::move(*parsed));
        }
        break;
      case 't':
        if (auto parsed = parse_time(value)) {
          session_.times.push_back(*parsed);
        }
        break;
      case 'a': {
        auto& list = attributes();
        if (list.empty()) {
          list.reserve(kUsualAttributes);
        }
        list.push_back(parse_attribute(value));
        break;
      }
      case 'm': session_.media.push_back(std::make_shared<media_description>(parse_media(value))); break;
      default:
        // v=, u=, e=, r=, p=, z=, k= and unknown types carry nothing read here.
        break;
    }
  }

  // Only the last media section without its own c= line shares the session's connection.
  void finish() {
    if (!session_.media.empty() && !session_.media.back()->connection && session_.connection) {
      session_.media.back()->connection = session_.connection;
    }
  }

 private:
  [[nodiscard]] bool in_media() const { return !session_.media.empty(); }

  std::shared_ptr<connection>& connection_slot() {
    return in_media() ? session_.media.back()->connection : session_.connection;
  }

  std::vector<bandwidth>& bandwidths() { return in_media() ? session_.media.back()->bandwidths : session_.bandwidths; }

  std::vector<std::shared_ptr<attribute>>& attributes() {
    return in_media() ? session_.media.back()->attributes : session_.attributes;
  }

  session_description& session_;
};

}  // namespace

std::shared_ptr<session_description> parse_session_description(std::string_view text) {
  auto session = std::make_shared<session_description>();
  line_reader reader(*session);
  try {
    std::size_t start = 0;
    while (start < text.size()) {
      const std::size_t end = text.find('\n', start);
      const std::size_t stop = end == std::string_view::npos ? text.size() : end;
      reader.read(text.substr(start, stop - start));
      start = stop + 1;
    }
  } catch (const std::exception&) {
    // Only allocation can fail here; what was read so far is kept.
  }
  reader.finish();
  return session;
}

origin parse_origin(std::string_view value) {
  const auto fields = text::split_fields(value, kBlank);
  return origin{field_or_empty(fields, 0), field_or_empty(fields, 1), field_or_empty(fields, 2),
                field_or_empty(fields, 3), field_or_empty(fields, 4), field_or_empty(fields, 5)};
}

connection parse_connection(std::string_view value) {
  const auto fields = text::split_fields(value, kBlank);
  return connection{field_or_empty(fields, 1), field_or_empty(fields, 2)};
}

media_description parse_media(std::string_view value) {
  const auto fields = text::split_fields(value, kBlank);
  media_description media;
  media.media = field_or_empty(fields, 0);
  media.port = field_or_empty(fields, 1);
  media.protocol = field_or_empty(fields, 2);
  media.format = field_or_empty(fields, 3);
  return media;
}

std::optional<bandwidth> parse_bandwidth(std::string_view value) {
  const std::size_t colon = value.find(':');
  if (colon == std::string_view::npos) {
    return std::nullopt;
  }
  const auto number = text::to_uint32(value.substr(colon + 1));
  if (!number) {
    return std::nullopt;
  }
  return bandwidth{std::string(value.substr(0, colon)), *number};
}

std::optional<time_description> parse_time(std::string_view value) {
  const auto fields = text::split_fields(value, kBlank);
  if (fields.empty()) {
    return std::nullopt;
  }
  const auto start = text::to_uint32(fields[0]);
  const auto stop = fields.size() > 1 ? text::to_uint32(fields[1]) : std::optional<uint32_t>(0);
  if (!start || !stop) {
    return std::nullopt;
  }
  return time_description{*start, *stop};
}

}  // namespace sdp
