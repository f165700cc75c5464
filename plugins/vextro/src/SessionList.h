#pragma once

// The device's list of known SAP/RTSP/SIP sessions ("/sessions.htm"), which receiver set-ups are
// matched against. Each "S_<i>" value is "name#originating#hash#source#type#isPhy2", where name
// and originating are URL-encoded once more inside the page value.

#include <cstdint>
#include <string>
#include <vector>

#include "plugins/vextro/src/Codecs.h"

namespace Vextro {

inline constexpr int32_t kSapSessionType = 2;
// Far above what a device lists; guards the loop against an absurd "S_NUM".
inline constexpr int32_t kMaxSessionEntries = 1024;

struct SessionEntry {
  int32_t type = 0;  // 2: SAP announced, connected through "/connectsap.htm"
  std::string name;
  std::string originating;
  std::string originatingSource;  // as received
  uint16_t hash = 0;              // low 16 bits of the announced number
  int32_t isPhy2 = 0;             // non-zero: seen on the device's second port
};

// One "S_<i>" value; throws std::runtime_error("too few segments") unless it has exactly six
// fields, and the stoi errors for a bad number.
[[nodiscard]] SessionEntry ParseSessionEntry(const std::string& value);

// Entries 1..S_NUM in page order; a bad one is logged and skipped.
[[nodiscard]] std::vector<SessionEntry> ParseSessionList(const ParameterMap& sessions);

}  // namespace Vextro
