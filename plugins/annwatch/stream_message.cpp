#include "plugins/annwatch/stream_message.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstring>
#include <limits>

#include <nlohmann/json.hpp>

#include "sdp/src/attribute.h"
#include "tvsk/CompactJson.h"

namespace annwatch {

namespace {

constexpr std::string_view kAudio = "audio";
constexpr std::string_view kRtpmap = "rtpmap";
constexpr std::string_view kTsRefclk = "ts-refclk";
constexpr const char* kTrackPrefix = "Track ";
// RFC 4566: an rtpmap without a channel count is one channel.
constexpr uint16_t kDefaultChannels = 1;
// Enough for any 32-bit integer with its sign.
constexpr size_t kMaxDecimalDigits = 12;
// An "Add" without its strings and track names, and one track name with its quotes and comma.
constexpr size_t kAddMessageFrame = 256;
constexpr size_t kTrackNameSize = 16;
constexpr size_t kRemoveMessageSize = 64;

// The typed attributes are read as they were parsed: their text parses back to the same fields.
void read_audio_attributes(const sdp::media_description& media, stream_record& record) {
  for (const auto& a : media.attributes) {
    if (!a) {
      continue;
    }
    // The name first: a cast that fails costs more than a comparison.
    const std::string& name = a->name();
    if (name == kRtpmap) {
      if (const auto* rtpmap = dynamic_cast<const sdp::rtpmap_attribute*>(a.get())) {
        record.encoding = rtpmap->encoding();
        record.track_number = rtpmap->channels().value_or(kDefaultChannels);
        record.sample_rate = leading_int(rtpmap->clock_rate());
      }
    } else if (name == kTsRefclk) {
      if (const auto* refclk = dynamic_cast<const sdp::AES67_ts_refclk_attribute*>(a.get())) {
        record.gmid = clock_identity_text(refclk->clock_identity());
        record.domain = refclk->domain();
      }
    }
  }
}

// Text that JSON writes as it stands: printable ASCII other than the quote and the backslash.
bool is_plain(std::string_view text) {
  for (const char c : text) {
    if (c < 0x20 || c > 0x7E || c == '"' || c == '\\') {
      return false;
    }
  }
  return true;
}

// Writes the message text directly into one buffer; only a string that needs escaping goes
// through the JSON library, which also replaces invalid UTF-8 from the network rather than
// throwing on it.
class message_writer {
 public:
  explicit message_writer(size_t expected) : text_(expected, '\0') {}
  void raw(std::string_view text) {
    std::memcpy(room(text.size()), text.data(), text.size());
    size_ += text.size();
  }
  void string(std::string_view value) {
    if (!is_plain(value)) {
      raw(tvsk::compactJson(nlohmann::json(std::string(value))));
      return;
    }
    char* at = room(value.size() + 2);
    *at++ = '"';
    std::memcpy(at, value.data(), value.size());
    at[value.size()] = '"';
    size_ += value.size() + 2;
  }
  template <typename Integer>
  void number(Integer value) {
    char* at = room(kMaxDecimalDigits);
    size_ += static_cast<size_t>(std::to_chars(at, at + kMaxDecimalDigits, value).ptr - at);
  }
  [[nodiscard]] std::string take() {
    text_.resize(size_);
    return std::move(text_);
  }

 private:
  // Where the next count bytes go.
  char* room(size_t count) {
    if (size_ + count > text_.size()) {
      text_.resize(std::max(2 * text_.size(), size_ + count));
    }
    return &text_[size_];
  }

  std::string text_;
  size_t size_ = 0;
};

}  // namespace

int leading_int(std::string_view text) {
  size_t at = 0;
  while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) {
    ++at;
  }
  const bool negative = at < text.size() && text[at] == '-';
  if (at < text.size() && (text[at] == '-' || text[at] == '+')) {
    ++at;
  }
  size_t end = at;
  while (end < text.size() && text[end] >= '0' && text[end] <= '9') {
    ++end;
  }
  int64_t magnitude = 0;
  const auto [stop, error] = std::from_chars(text.data() + at, text.data() + end, magnitude);
  if (end == at || error != std::errc() || stop != text.data() + end) {
    return 0;
  }
  const int64_t value = negative ? -magnitude : magnitude;
  if (value < std::numeric_limits<int>::min() || value > std::numeric_limits<int>::max()) {
    return 0;
  }
  return static_cast<int>(value);
}

std::string clock_identity_text(uint64_t identity) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  constexpr int kBytes = 8;
  // "XX-" per byte, less the last "-".
  std::string text(3 * kBytes - 1, '-');
  for (int k = 0; k < kBytes; ++k) {
    const auto byte = static_cast<uint8_t>(identity >> (8 * k));
    text[static_cast<size_t>(3 * k)] = kHex[byte >> 4];
    text[static_cast<size_t>(3 * k + 1)] = kHex[byte & 0x0F];
  }
  return text;
}

stream_record read_stream_record(const sdp::session_description& description) {
  stream_record record;
  if (description.origin) {
    record.ip = description.origin->unicast_address;
  }
  record.name = description.name;
  if (description.connection) {
    record.destination_ip = description.connection->address();
  }
  for (const auto& media : description.media) {
    if (!media || media->media != kAudio) {
      continue;
    }
    if (media->connection) {
      record.destination_ip = media->connection->address();
    }
    record.destination_port = leading_int(media->port);
    read_audio_attributes(*media, record);
    break;
  }
  return record;
}

std::string add_message(int32_t id, const stream_record& record) {
  message_writer out(kAddMessageFrame + record.destination_ip.size() + record.encoding.size() + record.gmid.size() +
                     record.ip.size() + record.name.size() + kTrackNameSize * record.track_number);
  out.raw(R"({"Action":"Add","Id":)");
  out.number(id);
  out.raw(R"(,"Payload":{"DestinationIp":)");
  out.string(record.destination_ip);
  if (record.destination_port) {
    out.raw(R"(,"DestinationPort":)");
    out.number(*record.destination_port);
  }
  out.raw(R"(,"Domain":)");
  out.number(record.domain);
  out.raw(R"(,"Encoding":)");
  out.string(record.encoding);
  out.raw(R"(,"GMID":)");
  out.string(record.gmid);
  out.raw(R"(,"Ip":)");
  out.string(record.ip);
  out.raw(R"(,"Name":)");
  out.string(record.name);
  out.raw(R"(,"Origin":")");
  out.raw(kOrigin);
  out.raw(R"(","SampleRate":)");
  out.number(record.sample_rate);
  out.raw(R"(,"TrackNumber":)");
  out.number(record.track_number);
  out.raw(R"(,"Tracks":[)");
  for (uint32_t track = 0; track < record.track_number; ++track) {
    out.raw(track == 0 ? R"(")" : R"(,")");
    out.raw(kTrackPrefix);
    out.number(track);
    out.raw(R"(")");
  }
  out.raw("]}}");
  return out.take();
}

std::string remove_message(int32_t id) {
  message_writer out(kRemoveMessageSize);
  out.raw(R"({"Action":"Remove","Id":)");
  out.number(id);
  out.raw(R"(,"Payload":{}})");
  return out.take();
}

}  // namespace annwatch
