#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace sap {

// One announced session as the table keeps it.
struct session {
  // SAP originating source, IPv4 dotted or IPv6 text.
  std::string origin;
  // SAP message identifier hash.
  uint16_t hash = 0;
  // MIME type of the payload.
  std::string payload_type;
  // The session description text.
  std::string sdp;
  // Milliseconds since the listener's reference time when the session was last heard.
  int64_t last_seen = 0;
};

// An announcement is named by its origin and hash (RFC 2974).
using session_key = std::pair<std::string, uint16_t>;

[[nodiscard]] inline session_key key_of(const session& s) { return {s.origin, s.hash}; }

// The SDP origin line (o=) split into what names the session, "username sess-id nettype
// addrtype address", and its version. An announcer keeps the name when it modifies a session and
// raises the version (RFC 4566). Both empty without a full o= line.
struct origin_identity {
  std::string session;
  std::string version;
};
[[nodiscard]] origin_identity sdp_origin_identity(std::string_view sdp);

}  // namespace sap
