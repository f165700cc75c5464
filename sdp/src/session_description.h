#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sdp/src/attribute.h"

namespace sdp {

// o=<username> <sess-id> <sess-version> <nettype> <addrtype> <unicast-address>
struct origin {
  std::string username;
  std::string session_id;
  std::string session_version;
  std::string network_type;
  std::string address_type;
  std::string unicast_address;
};

// c=<nettype> <addrtype> <connection-address>; the network type is not kept.
struct connection {
  std::string address_type;
  // As written, possibly with "/ttl[/count]" after the address.
  std::string address_text;

  // The address without its "/ttl/count" suffix.
  [[nodiscard]] std::string address() const;
};

// b=<bwtype>:<bandwidth>
struct bandwidth {
  std::string type;
  uint32_t value = 0;
};

// t=<start-time> <stop-time>
struct time_description {
  uint32_t start = 0;
  uint32_t stop = 0;
};

// m=<media> <port>[/<count>] <proto> <fmt> ...; one per media section.
struct media_description {
  std::string media;
  // As written, possibly with "/<port count>".
  std::string port;
  std::string protocol;
  // The first format of the m= line only.
  std::string format;
  // Left empty: an i= line inside a media section sets the session's information instead.
  std::string information;
  // From the section's own c= line; null without one (see parse_session_description).
  std::shared_ptr<sdp::connection> connection;
  std::vector<bandwidth> bandwidths;
  std::vector<std::shared_ptr<attribute>> attributes;
};

struct session_description {
  // Null when the text has no o= line.
  std::shared_ptr<sdp::origin> origin;
  // s=
  std::string name;
  // i=, the last one seen, media sections included.
  std::string information;
  // Session-level c=; null without one.
  std::shared_ptr<sdp::connection> connection;
  std::vector<time_description> times;
  std::vector<bandwidth> bandwidths;
  std::vector<std::shared_ptr<attribute>> attributes;
  // In the order of the m= lines.
  std::vector<std::shared_ptr<media_description>> media;
};

}  // namespace sdp
