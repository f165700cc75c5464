#include "plugins/annwatch/cmd_browser_callback.h"

#include <algorithm>
#include <cstdio>
#include <string_view>

#include "plugins/annwatch/discovery_sap.h"
#include "plugins/annwatch/stream_message.h"
#include "sdp/src/log_text.h"

namespace annwatch {

namespace {

// A session name from the network takes at most this much of a console line, as much as a log
// line holds.
constexpr size_t kMaxPrintedName = 1000;

// Such a name is written as it stands; anything else goes through the escaping of log texts.
bool is_shown_as_it_stands(const std::string& text) {
  return text.size() <= kMaxPrintedName &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c < 0x7F && c != '\\'; });
}

}  // namespace

cmd_browser_callback::cmd_browser_callback(std::string name, std::string filter, DiscoverySap& owner,
                                           size_t browser_index)
    : name_(std::move(name)), filter_(std::move(filter)), owner_(owner), browser_(browser_index) {}

void cmd_browser_callback::print(const sdp::session_description& description, const char* what) const {
  // "<name> : <session name> <what>\n\n", in pieces under one lock of the stream.
  const std::string escaped =
      is_shown_as_it_stands(description.name) ? std::string() : sdp::printable(description.name, kMaxPrintedName);
  const std::string& shown = escaped.empty() ? description.name : escaped;
  flockfile(stdout);
  for (const std::string_view piece : {std::string_view(name_), std::string_view(" : "), std::string_view(shown),
                                       std::string_view(" "), std::string_view(what), std::string_view("\n\n")}) {
    fwrite_unlocked(piece.data(), 1, piece.size(), stdout);
  }
  funlockfile(stdout);
  std::fflush(stdout);
}

void cmd_browser_callback::added(const sap::session& announced,
                                 const std::shared_ptr<sdp::session_description>& description) {
  print(*description, "added");
  const stream_key key{browser_, announced.origin, announced.hash};
  // A stream reported before under this entry goes first.
  if (const auto previous = owner_.release_id(key)) {
    owner_.report(remove_message(*previous));
  }
  if (description->origin && owner_.is_listed_address(description->origin->unicast_address)) {
    return;
  }
  owner_.report(add_message(owner_.assign_id(key), read_stream_record(*description)));
}

void cmd_browser_callback::removed(const sap::session& announced,
                                   const std::shared_ptr<sdp::session_description>& description) {
  print(*description, "removed");
  if (const auto id = owner_.release_id({browser_, announced.origin, announced.hash})) {
    owner_.report(remove_message(*id));
  }
}

}  // namespace annwatch
