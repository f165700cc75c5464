#include "plugins/vextro/src/SessionList.h"

#include <stdexcept>

#include "plugins/vextro/src/PluginLog.h"

namespace Vextro {
namespace {

constexpr std::size_t kSessionFieldCount = 6;

}  // namespace

SessionEntry ParseSessionEntry(const std::string& value) {
  const std::vector<std::string> fields = SplitFields(value, '#');
  if (fields.size() != kSessionFieldCount) {
    throw std::runtime_error("too few segments");
  }
  SessionEntry entry;
  entry.name = UrlDecode(fields[0]);
  entry.originating = UrlDecode(fields[1]);
  entry.hash = static_cast<uint16_t>(static_cast<uint32_t>(StoiLike(fields[2])));
  entry.originatingSource = fields[3];
  entry.type = StoiLike(fields[4]);
  entry.isPhy2 = StoiLike(fields[5]);
  return entry;
}

std::vector<SessionEntry> ParseSessionList(const ParameterMap& sessions) {
  int32_t count = GetIntParameter(sessions, "S_NUM", 0);
  if (count > kMaxSessionEntries) {
    Log("WARNING: session count ", count, " capped at ", kMaxSessionEntries);
    count = kMaxSessionEntries;
  }
  std::vector<SessionEntry> entries;
  for (int32_t i = 1; i <= count; ++i) {
    const std::string value = GetStringParameter(sessions, "S_" + std::to_string(i), "");
    try {
      entries.push_back(ParseSessionEntry(value));
    } catch (const std::exception& error) {
      Log("ERROR: Unexpected session data (", error.what(), "): ", "'", value, "'");
    }
  }
  return entries;
}

}  // namespace Vextro
