#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "sdp/src/session_description.h"

namespace annwatch {

// Where a description has no connection address.
constexpr const char* kNoAddress = "0.0.0.0";
constexpr const char* kOrigin = "SAP";

// The "Payload" of an "Add": what the engine needs of a stream, read from the first audio media.
struct stream_record {
  std::string destination_ip = kNoAddress;
  // Absent without an audio media.
  std::optional<int> destination_port;
  uint32_t domain = 0;
  std::string encoding;
  std::string gmid;
  // The o= unicast address.
  std::string ip;
  std::string name;
  int sample_rate = 0;
  uint16_t track_number = 0;
};

[[nodiscard]] stream_record read_stream_record(const sdp::session_description& description);

// {"Action":"Add","Id":id,"Payload":record}, compact with sorted keys.
[[nodiscard]] std::string add_message(int32_t id, const stream_record& record);
// {"Action":"Remove","Id":id,"Payload":{}}
[[nodiscard]] std::string remove_message(int32_t id);

// The integer a text starts with, as std::stoi reads it; 0 when there is none or it does not fit.
[[nodiscard]] int leading_int(std::string_view text);

// The clock identity as eight upper-case hex bytes joined by "-", least significant first (the
// order of the SDP text).
[[nodiscard]] std::string clock_identity_text(uint64_t identity);

}  // namespace annwatch
