#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "sdp/src/session_description.h"

namespace annwatch {

// Where a description has no connection address.
constexpr const char* kNoAddress = "0.0.0.0";
constexpr const char* kOrigin = "SAP";

// The "Payload" of an "Add": what the engine needs of a stream, read from the first audio media.
[[nodiscard]] nlohmann::json stream_record(const sdp::session_description& description);

// {"Action":"Add","Id":id,"Payload":record}, compact with sorted keys.
[[nodiscard]] std::string add_message(int32_t id, const nlohmann::json& record);
// {"Action":"Remove","Id":id,"Payload":{}}
[[nodiscard]] std::string remove_message(int32_t id);

// The integer a text starts with, as std::stoi reads it; 0 when there is none or it does not fit.
[[nodiscard]] int leading_int(std::string_view text);

// The clock identity as eight upper-case hex bytes joined by "-", least significant first (the
// order of the SDP text).
[[nodiscard]] std::string clock_identity_text(uint64_t identity);

// Compact JSON text; invalid UTF-8 from the network is replaced rather than thrown on.
[[nodiscard]] std::string serialise(const nlohmann::json& message);

}  // namespace annwatch
