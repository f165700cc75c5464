// Fuzz entry for the SDP parser: any bytes as an announcement's SDP text. Besides not crashing,
// the description must hold together, every attribute must survive being written back, and the
// texts that reach the engine as JSON (names, addresses, ports) must serialise to valid JSON.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include <nlohmann/json.hpp>

#include "fuzz/sdp/fuzz_check.h"
#include "sdp/src/parser.h"

namespace {

using sdp_fuzz::require;

void check_connection(const sdp::connection& c) {
  const std::string address = c.address();
  require(c.address_text.compare(0, address.size(), address) == 0, "address is not a prefix of its text");
  require(address.find('/') == std::string::npos, "address keeps its suffix");
}

void check_attributes(const std::vector<std::shared_ptr<sdp::attribute>>& attributes) {
  for (const auto& a : attributes) {
    require(a != nullptr, "null attribute");
    sdp_fuzz::check_round_trip(*a);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto session = sdp::parse_session_description(text);
  require(session != nullptr, "parse_session_description returned null");
  const auto lines = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) + 1;
  require(session->media.size() <= lines, "more media than lines");

  nlohmann::json document;
  document["name"] = session->name;
  document["information"] = session->information;
  if (session->origin) {
    document["origin"] = session->origin->unicast_address;
  }
  if (session->connection) {
    check_connection(*session->connection);
    document["destination"] = session->connection->address();
  }
  check_attributes(session->attributes);
  for (const auto& media : session->media) {
    require(media != nullptr, "null media");
    if (media->connection) {
      check_connection(*media->connection);
    }
    check_attributes(media->attributes);
    // Only the first audio section reaches the engine.
    if (media->media == "audio" && !document.contains("port")) {
      document["port"] = media->port;
      if (media->connection) {
        document["destination"] = media->connection->address();
      }
      for (const auto& a : media->attributes) {
        document["attributes"].push_back(a->value());
      }
    }
  }
  if (!session->media.empty() && session->connection) {
    require(session->media.back()->connection != nullptr, "last media lacks the session connection");
  }
  const std::string serialised = document.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  require(nlohmann::json::accept(serialised), "serialised description is not JSON");
  return 0;
}
