// Fuzz entry: bytes as one SAP datagram. read_sap_packet must account for every byte, and
// is_valid_utf8 must agree with a plain code-point decoder.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "sap/impl/sap_packet.h"
#include "sap/impl/utf8.h"

namespace {

void require(bool holds, const char* what) {
  if (!holds) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
  }
}

// Decodes code point by code point and checks what the decoded value may be.
bool reference_utf8(std::string_view text) {
  size_t at = 0;
  while (at < text.size()) {
    const auto lead = static_cast<uint8_t>(text[at]);
    if (lead < 0x80) {
      if (!(lead == 0x09 || lead == 0x0A || lead == 0x0D || (lead >= 0x20 && lead < 0x7F))) return false;
      ++at;
      continue;
    }
    size_t length = 0;
    uint32_t code = 0;
    uint32_t minimum = 0;
    if ((lead & 0xE0) == 0xC0) {
      length = 2, code = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3, code = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4, code = lead & 0x07, minimum = 0x10000;
    } else {
      return false;
    }
    if (at + length > text.size()) return false;
    for (size_t k = 1; k < length; ++k) {
      const auto next = static_cast<uint8_t>(text[at + k]);
      if ((next & 0xC0) != 0x80) return false;
      code = (code << 6) | (next & 0x3F);
    }
    if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
    at += length;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view datagram(reinterpret_cast<const char*>(data), size);
  const auto packet = sap::read_sap_packet(datagram);
  if (packet) {
    const size_t origin_size = packet->ipv6_origin ? sap::kIpv6OriginSize : sap::kIpv4OriginSize;
    const size_t payload_at = sap::kFixedHeaderSize + origin_size + packet->auth.size();
    require(packet->size == size, "size differs from the datagram");
    require(packet->auth.size() == size_t{packet->auth_length} * sap::kAuthWordSize, "auth length");
    require(payload_at <= size, "header beyond the datagram");
    require(!packet->origin.empty(), "origin text missing");
    const std::string_view payload = datagram.substr(payload_at);
    const bool whole = packet->sdp == payload && (packet->payload_type == sap::kDefaultPayloadType ||
                                                  (payload.empty() && packet->payload_type.empty()));
    const bool split = payload.size() == packet->payload_type.size() + 1 + packet->sdp.size() &&
                       payload.substr(0, packet->payload_type.size()) == packet->payload_type &&
                       payload[packet->payload_type.size()] == '\0' &&
                       payload.substr(packet->payload_type.size() + 1) == packet->sdp &&
                       packet->payload_type.find('\0') == std::string_view::npos;
    require(whole || split, "payload bytes lost or invented");
  } else {
    require(size < sap::kFixedHeaderSize + sap::kIpv6OriginSize + 255 * sap::kAuthWordSize,
            "a long datagram was refused");
  }
  require(sap::is_valid_utf8(datagram) == reference_utf8(datagram), "UTF-8 check disagrees with the decoder");
  return 0;
}
