#include "sap/impl/sap_packet.h"

#include <arpa/inet.h>

#include <algorithm>
#include <charconv>

namespace sap {

namespace {

constexpr uint8_t kVersionShift = 5;
constexpr uint8_t kAddressTypeBit = 0x10;
constexpr uint8_t kMessageTypeBit = 0x04;
constexpr uint8_t kEncryptionBit = 0x02;
constexpr uint8_t kCompressionBit = 0x01;
constexpr std::string_view kSdpStart = "v=0";

// Dotted decimal as inet_ntop writes it, without its formatted printing (most origins are IPv4).
std::string ipv4_text(const uint8_t* bytes) {
  char text[INET_ADDRSTRLEN];
  char* at = text;
  for (size_t k = 0; k < kIpv4OriginSize; ++k) {
    if (k > 0) {
      *at++ = '.';
    }
    at = std::to_chars(at, text + sizeof(text), unsigned{bytes[k]}).ptr;
  }
  return std::string(text, at);
}

std::string ipv6_text(const uint8_t* bytes) {
  char text[INET6_ADDRSTRLEN] = {};
  if (inet_ntop(AF_INET6, bytes, text, sizeof(text)) == nullptr) {
    return {};
  }
  return text;
}

void split_payload(std::string_view payload, packet& result) {
  if (payload.empty()) {
    return;
  }
  const std::string_view type_window = payload.substr(0, kMaxPayloadTypeRead);
  const size_t nul = type_window.find('\0');
  if (payload.substr(0, kSdpStart.size()) == kSdpStart || nul == std::string_view::npos) {
    result.payload_type = kDefaultPayloadType;
    result.sdp = payload;
    return;
  }
  result.payload_type = payload.substr(0, nul);
  result.sdp = payload.substr(nul + 1);
}

}  // namespace

std::optional<packet> read_sap_packet(std::string_view datagram) {
  if (datagram.size() < kFixedHeaderSize) {
    return std::nullopt;
  }
  const auto* bytes = reinterpret_cast<const uint8_t*>(datagram.data());
  packet result;
  result.size = datagram.size();
  result.version = static_cast<uint8_t>(bytes[0] >> kVersionShift);
  result.ipv6_origin = (bytes[0] & kAddressTypeBit) != 0;
  result.deletion = (bytes[0] & kMessageTypeBit) != 0;
  result.encrypted = (bytes[0] & kEncryptionBit) != 0;
  result.compressed = (bytes[0] & kCompressionBit) != 0;
  result.auth_length = bytes[1];
  result.hash = static_cast<uint16_t>((bytes[2] << 8) | bytes[3]);

  const size_t origin_size = result.ipv6_origin ? kIpv6OriginSize : kIpv4OriginSize;
  const size_t auth_size = size_t{result.auth_length} * kAuthWordSize;
  if (datagram.size() < kFixedHeaderSize + origin_size + auth_size) {
    return std::nullopt;
  }
  result.origin = result.ipv6_origin ? ipv6_text(bytes + kFixedHeaderSize) : ipv4_text(bytes + kFixedHeaderSize);
  result.auth = datagram.substr(kFixedHeaderSize + origin_size, auth_size);
  split_payload(datagram.substr(kFixedHeaderSize + origin_size + auth_size), result);
  return result;
}

}  // namespace sap
