#include "sdp/src/attribute.h"

#include <array>
#include <cstdio>

#include "sdp/src/text_fields.h"

namespace sdp {

std::string attribute_text(const attribute& a) {
  std::string value = a.value();
  return value.empty() ? a.name() : a.name() + ":" + value;
}

basic_attribute::basic_attribute(std::string name, std::string value, bool valid)
    : attribute(valid), name_(std::move(name)), value_(std::move(value)) {}

rtpmap_attribute::rtpmap_attribute(uint16_t payload_type, std::string encoding, std::string clock_rate,
                                   std::optional<uint16_t> channels)
    : payload_type_(payload_type),
      encoding_(std::move(encoding)),
      clock_rate_(std::move(clock_rate)),
      channels_(channels) {}

const std::string& rtpmap_attribute::name() const {
  static const std::string kName = "rtpmap";
  return kName;
}

std::string rtpmap_attribute::value() const {
  std::string text = std::to_string(payload_type_) + " " + encoding_ + "/" + clock_rate_;
  if (channels_) {
    text += "/" + std::to_string(*channels_);
  }
  return text;
}

const std::string& sync_time_attribute::name() const {
  static const std::string kName = "sync-time";
  return kName;
}

std::string sync_time_attribute::value() const { return std::to_string(time_); }

const std::string& framecount_attribute::name() const {
  static const std::string kName = "framecount";
  return kName;
}

std::string framecount_attribute::value() const {
  std::string text = std::to_string(minimum_);
  if (maximum_ != minimum_) {
    text += "-" + std::to_string(maximum_);
  }
  return text;
}

midi_pre_attribute::midi_pre_attribute(uint16_t first, uint32_t second, std::vector<uint32_t> list)
    : first_(first), second_(second), list_(std::move(list)) {}

const std::string& midi_pre_attribute::name() const {
  static const std::string kName = "midi-pre";
  return kName;
}

std::string midi_pre_attribute::value() const {
  std::string text = std::to_string(first_) + " " + std::to_string(second_) + ";";
  for (std::size_t i = 0; i < list_.size(); ++i) {
    text += (i == 0 ? "" : " ") + std::to_string(list_[i]);
  }
  return text;
}

midi_pre2_attribute::midi_pre2_attribute(uint16_t first, std::vector<pair> pairs)
    : first_(first), pairs_(std::move(pairs)) {}

const std::string& midi_pre2_attribute::name() const {
  static const std::string kName = "midi-pre2";
  return kName;
}

std::string midi_pre2_attribute::value() const {
  std::string text = std::to_string(first_) + " ";
  for (std::size_t i = 0; i < pairs_.size(); ++i) {
    text += (i == 0 ? "" : ";") + std::to_string(pairs_[i].first) + "," + std::to_string(pairs_[i].second);
  }
  return text;
}

const std::string& palign_attribute::name() const {
  static const std::string kName = "palign";
  return kName;
}

std::string palign_attribute::value() const { return std::to_string(alignment_); }

const std::string& AES67_ptime_attribute::name() const {
  static const std::string kName = "ptime";
  return kName;
}

std::string AES67_ptime_attribute::value() const { return text::format_float(milliseconds_); }

const std::string& AES67_maxptime_attribute::name() const {
  static const std::string kName = "maxptime";
  return kName;
}

std::string AES67_maxptime_attribute::value() const { return text::format_float(milliseconds_); }

const std::string& AES67_mediaclk_attribute::name() const {
  static const std::string kName = "mediaclk";
  return kName;
}

std::string AES67_mediaclk_attribute::value() const { return "direct=" + std::to_string(offset_); }

AES67_ts_refclk_attribute::AES67_ts_refclk_attribute(bool traceable, uint32_t domain, uint64_t clock_identity)
    : traceable_(traceable), domain_(domain), clock_identity_(clock_identity) {}

const std::string& AES67_ts_refclk_attribute::name() const {
  static const std::string kName = "ts-refclk";
  return kName;
}

std::string AES67_ts_refclk_attribute::value() const {
  if (traceable_) {
    return "ptp=traceable";
  }
  std::array<unsigned, 8> bytes{};
  for (std::size_t k = 0; k < bytes.size(); ++k) {
    bytes[k] = static_cast<unsigned>((clock_identity_ >> (8 * k)) & 0xFF);
  }
  std::array<char, 64> identity{};
  std::snprintf(identity.data(), identity.size(), "%02X-%02X-%02X-%02X-%02X-%02X-%02X-%02X", bytes[0], bytes[1],
                bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7]);
  return "ptp=IEEE1588-2008:" + std::string(identity.data()) + ":" + std::to_string(domain_);
}

const std::string& ASIO_clock_attribute::name() const {
  static const std::string kName = "ASIO-clock";
  return kName;
}

std::string ASIO_clock_attribute::value() const { return std::to_string(clock_); }

group_attribute::group_attribute(std::string first, std::string second)
    : first_(std::move(first)), second_(std::move(second)) {
  // Ids are written between blanks, so a blank inside one would split it on the way back.
  for (std::string* id : {&first_, &second_}) {
    for (char& c : *id) {
      if (c == ' ') {
        c = '_';
      }
    }
  }
}

const std::string& group_attribute::name() const {
  static const std::string kName = "group";
  return kName;
}

std::string group_attribute::value() const { return "DUP " + first_ + " " + second_; }

source_filter_attribute::source_filter_attribute(std::string mode, std::string network_type, std::string address_type,
                                                 std::string destination_address, std::string source_address)
    : attribute(mode == "incl" && network_type == "IN" && address_type == "IP4"),
      mode_(std::move(mode)),
      network_type_(std::move(network_type)),
      address_type_(std::move(address_type)),
      destination_address_(std::move(destination_address)),
      source_address_(std::move(source_address)) {}

const std::string& source_filter_attribute::name() const {
  static const std::string kName = "source-filter";
  return kName;
}

std::string source_filter_attribute::value() const {
  return " " + mode_ + " " + network_type_ + " " + address_type_ + " " + destination_address_ + " " + source_address_;
}

}  // namespace sdp
