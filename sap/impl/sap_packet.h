#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace sap {

// RFC 2974 header: flags, authentication length, message id hash, then the origin.
constexpr size_t kFixedHeaderSize = 4;
constexpr size_t kIpv4OriginSize = 4;
constexpr size_t kIpv6OriginSize = 16;
// The authentication length counts 32-bit words.
constexpr size_t kAuthWordSize = 4;
// The payload type text is looked for in this many bytes, its terminating NUL included.
constexpr size_t kMaxPayloadTypeRead = 1023;
// What a payload without a type field carries (RFC 2974 section 6).
constexpr std::string_view kDefaultPayloadType = "application/sdp";

// One SAP datagram as read from the wire.
struct packet {
  // V: 1 for SAPv2.
  uint8_t version = 0;
  // A: the origin is an IPv6 address.
  bool ipv6_origin = false;
  // T: a deletion rather than an announcement.
  bool deletion = false;
  // E: the payload is encrypted.
  bool encrypted = false;
  // C: the payload is zlib-compressed.
  bool compressed = false;
  // Length of the authentication data in 32-bit words.
  uint8_t auth_length = 0;
  // Message identifier hash; with the origin it names the announcement.
  uint16_t hash = 0;
  // Originating source as dotted IPv4 or IPv6 text.
  std::string origin;
  // Authentication data, auth_length * 4 bytes.
  std::string auth;
  // MIME type of the payload, without its NUL.
  std::string payload_type;
  // The payload: a session description.
  std::string sdp;
  // Size of the datagram this was read from.
  size_t size = 0;
};

// Reads a SAP datagram. Empty when the datagram is shorter than its header and authentication
// data. A payload that starts with "v=0" or holds no NUL within the type's limit has no type
// field: it is all SDP and gets the default type.
[[nodiscard]] std::optional<packet> read_sap_packet(std::string_view datagram);

}  // namespace sap
