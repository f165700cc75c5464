#include "plugins/annwatch/stream_message.h"

#include <cctype>
#include <charconv>
#include <limits>

#include "sdp/src/attribute.h"

namespace annwatch {

namespace {

constexpr std::string_view kAudio = "audio";
constexpr std::string_view kRtpmap = "rtpmap";
constexpr std::string_view kTsRefclk = "ts-refclk";
constexpr const char* kTrackPrefix = "Track ";
// RFC 4566: an rtpmap without a channel count is one channel.
constexpr uint16_t kDefaultChannels = 1;

// Fields of the first audio media that the record takes from its attributes.
struct audio_fields {
  std::string encoding;
  std::string gmid;
  uint32_t domain = 0;
  int sample_rate = 0;
  uint16_t track_number = 0;
};

// Attributes are read back through their text, as another module would see them.
template <typename Typed>
std::shared_ptr<Typed> reparsed(const sdp::attribute& a) {
  return std::dynamic_pointer_cast<Typed>(sdp::parse_attribute(sdp::attribute_text(a)));
}

audio_fields read_audio_attributes(const sdp::media_description& media) {
  audio_fields fields;
  for (const auto& a : media.attributes) {
    if (!a) {
      continue;
    }
    if (a->name() == kRtpmap) {
      if (const auto rtpmap = reparsed<sdp::rtpmap_attribute>(*a)) {
        fields.encoding = rtpmap->encoding();
        fields.track_number = rtpmap->channels().value_or(kDefaultChannels);
        fields.sample_rate = leading_int(rtpmap->clock_rate());
      }
    } else if (a->name() == kTsRefclk) {
      if (const auto refclk = reparsed<sdp::AES67_ts_refclk_attribute>(*a)) {
        fields.gmid = clock_identity_text(refclk->clock_identity());
        fields.domain = refclk->domain();
      }
    }
  }
  return fields;
}

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
  std::string text;
  for (int k = 0; k < 8; ++k) {
    const auto byte = static_cast<uint8_t>(identity >> (8 * k));
    if (k > 0) {
      text += '-';
    }
    text += kHex[byte >> 4];
    text += kHex[byte & 0x0F];
  }
  return text;
}

nlohmann::json stream_record(const sdp::session_description& description) {
  nlohmann::json record = nlohmann::json::object();
  record["Origin"] = kOrigin;
  record["Ip"] = description.origin ? description.origin->unicast_address : std::string();
  record["Name"] = description.name;
  record["DestinationIp"] = description.connection ? description.connection->address() : kNoAddress;

  audio_fields fields;
  for (const auto& media : description.media) {
    if (!media || media->media != kAudio) {
      continue;
    }
    if (media->connection) {
      record["DestinationIp"] = media->connection->address();
    }
    record["DestinationPort"] = leading_int(media->port);
    fields = read_audio_attributes(*media);
    break;
  }
  record["Encoding"] = fields.encoding;
  record["TrackNumber"] = fields.track_number;
  record["GMID"] = fields.gmid;
  record["Domain"] = fields.domain;
  record["SampleRate"] = fields.sample_rate;
  nlohmann::json tracks = nlohmann::json::array();
  for (uint32_t track = 0; track < fields.track_number; ++track) {
    tracks.push_back(kTrackPrefix + std::to_string(track));
  }
  record["Tracks"] = std::move(tracks);
  return record;
}

std::string serialise(const nlohmann::json& message) {
  return message.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string add_message(int32_t id, const nlohmann::json& record) {
  nlohmann::json message = nlohmann::json::object();
  message["Id"] = id;
  message["Payload"] = record;
  message["Action"] = "Add";
  return serialise(message);
}

std::string remove_message(int32_t id) {
  nlohmann::json message = nlohmann::json::object();
  message["Action"] = "Remove";
  message["Id"] = id;
  message["Payload"] = nlohmann::json::object();
  return serialise(message);
}

}  // namespace annwatch
