#include "sap/impl/listener.h"

#include <algorithm>
#include <exception>
#include <iterator>

#include "log/plugin_log.h"
#include "sap/impl/sap_packet.h"
#include "sap/impl/utf8.h"
#include "sdp/src/log_text.h"

namespace sap {

namespace {

constexpr const char* kLogFile = "sap_listener";
// Room for a text from the packet in a log line, which the log cuts at about 1 KB anyway.
constexpr size_t kMaxLoggedText = 900;

struct warning_kind {
  uint32_t level;
  const char* counted;
};
// In the order of listener::warning.
constexpr warning_kind kWarnings[] = {
    {kLogDebug, "SAP packets shorter than their header"},
    {kLogWarning, "encrypted SAP packets"},
    {kLogWarning, "compressed SAP packets"},
    {kLogError, "SAP packets with invalid UTF-8"},
    {kLogWarning, "SAP packets about another sender's session"},
    {kLogNotice, "sessions dropped from the full session table"},
    {kLogWarning, "new sessions refused by the full session table"},
    {kLogError, "SAP packets dropped on an error"},
};

}  // namespace

std::shared_ptr<listener> listener::create(std::shared_ptr<boost::asio::io_context> io,
                                           std::shared_ptr<multicast::receiver> receiver, uint32_t interval_ms,
                                           options opts) {
  std::shared_ptr<listener> created(new listener(std::move(io), std::move(receiver), interval_ms, std::move(opts)));
  created->start();
  return created;
}

listener::listener(std::shared_ptr<boost::asio::io_context> io, std::shared_ptr<multicast::receiver> receiver,
                   uint32_t interval_ms, options opts)
    : io_(std::move(io)),
      receiver_(std::move(receiver)),
      interval_(interval_ms),
      timeout_(std::max(kMinTimeout, kTimeoutIntervals * int64_t{interval_ms})),
      expiry_period_(opts.expiry_period.count() > 0 ? opts.expiry_period : std::chrono::milliseconds(interval_ms)),
      clock_(opts.clock ? std::move(opts.clock) : clock_function([] { return std::chrono::steady_clock::now(); })),
      max_sessions_(opts.max_sessions),
      reference_(clock_()),
      table_(opts.sender_share > 0 ? opts.sender_share
                                   : std::max<size_t>(1, opts.max_sessions / options::kSenderShareDivisor)),
      expiry_timer_(*io_, "sap::listener", expiry_period_, true) {
  static_assert(std::size(kWarnings) == static_cast<size_t>(warning::count));
  warnings_.reserve(std::size(kWarnings));
  for (const auto& [level, counted] : kWarnings) {
    warnings_.emplace_back(level, kLogFile, counted, opts.log_period);
  }
}

listener::~listener() {
  receiver_connection_.disconnect();
  if (receiver_) {
    receiver_->close();
  }
  expiry_timer_.stop();
}

void listener::start() {
  std::weak_ptr<listener> weak = weak_from_this();
  expiry_timer_.start([weak] {
    if (auto self = weak.lock()) {
      self->check_expired();
    }
  });
  reference_ = clock_();
  if (receiver_) {
    using slot_type = decltype(receiver_->datagram_received)::slot_type;
    receiver_connection_ = receiver_->datagram_received.connect(
        slot_type([this](const boost::asio::ip::udp::endpoint& sender, const std::string& datagram) {
          on_datagram(sender, datagram);
        }).track_foreign(weak));
    receiver_->start();
  }
}

int64_t listener::now() const {
  return std::chrono::duration_cast<std::chrono::milliseconds>(clock_() - reference_).count();
}

bool listener::admit(warning kind) { return warnings_[static_cast<size_t>(kind)].admit(clock_()); }

void listener::on_datagram(const boost::asio::ip::udp::endpoint& sender, const std::string& datagram) {
  try {
    handle_packet(sender.address(), datagram);
  } catch (const std::exception& error) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (admit(warning::failed)) {
      writeLog(kLogError, kLogFile, __LINE__, "dropped SAP packet: %s\n",
               sdp::printable(error.what(), kMaxLoggedText).c_str());
    }
  } catch (...) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (admit(warning::failed)) {
      writeLog(kLogError, kLogFile, __LINE__, "dropped SAP packet: unknown exception\n");
    }
  }
}

void listener::handle_packet(const sender_address& sender, const std::string& datagram) {
  std::optional<packet> read = read_sap_packet(datagram);
  std::lock_guard<std::mutex> lock(mutex_);
  ++statistics_.datagrams;
  if (!read) {
    if (admit(warning::tiny)) {
      writeLog(kLogDebug, kLogFile, __LINE__, "dropped SAP packet of %zu bytes: shorter than its header\n",
               datagram.size());
    }
    return;
  }
  if (read->encrypted || read->compressed) {
    if (admit(read->encrypted ? warning::encrypted : warning::compressed)) {
      writeLog(kLogWarning, kLogFile, __LINE__, "dropped %s SAP packet: IP:%s, id=%u\n",
               read->encrypted ? "encrypted" : "compressed", sdp::printable(read->origin).c_str(),
               unsigned{read->hash});
    }
    return;
  }
  if (!is_valid_utf8(read->sdp) && admit(warning::invalid_utf8)) {
    writeLog(kLogError, kLogFile, __LINE__, "Receive invalid UTF8 SDP: IP:%s, id=%u, SDP:%s\n",
             sdp::printable(read->origin).c_str(), unsigned{read->hash},
             sdp::printable(read->sdp, kMaxLoggedText).c_str());
  }
  if (read->hash == 0) {
    return;
  }
  session announced{std::move(read->origin), read->hash, std::move(read->payload_type), std::move(read->sdp), now()};
  if (read->deletion) {
    handle_deletion(announced, sender);
  } else {
    handle_announcement(std::move(announced), sender);
  }
}

bool listener::owns(const session_table::entry& stored, const sender_address& sender, const char* what) {
  if (stored.sender == sender) {
    return true;
  }
  ++statistics_.foreign;
  if (admit(warning::foreign)) {
    writeLog(kLogWarning, kLogFile, __LINE__, "ignored SAP %s from %s: IP:%s, id=%u was announced by %s\n", what,
             sender.to_string().c_str(), sdp::printable(stored.announced.origin).c_str(),
             unsigned{stored.announced.hash}, stored.sender.to_string().c_str());
  }
  return false;
}

void listener::handle_deletion(const session& deleting, const sender_address& sender) {
  const session_table::entry* stored = table_.find(deleting.origin, deleting.hash);
  // Nothing to remove, and nothing worth a line: anyone may send these by the thousand.
  if (stored == nullptr) {
    ++statistics_.unknown_deletions;
    return;
  }
  if (!owns(*stored, sender, "deletion")) {
    return;
  }
  // The stored session carries the name; a deletion usually holds only the o= line.
  session_removed(table_.erase(deleting.origin, deleting.hash));
}

void listener::handle_announcement(session announced, const sender_address& sender) {
  if (session_table::entry* stored = table_.find(announced.origin, announced.hash)) {
    if (!owns(*stored, sender, "announcement")) {
      return;
    }
    stored->announced.last_seen = announced.last_seen;
    table_.heard(*stored);
    if (stored->announced.payload_type == announced.payload_type && stored->announced.sdp == announced.sdp) {
      return;
    }
    const session previous = stored->announced;
    origin_identity identity = sdp_origin_identity(announced.sdp);
    table_.replace(*stored, announced, std::move(identity));
    session_removed(previous);
    session_added(announced);
    return;
  }
  origin_identity identity = sdp_origin_identity(announced.sdp);
  // A modification takes the place of the entry it replaces, so only other news meets the cap.
  const session_table::entry* modified = table_.modified_by(announced.origin, identity);
  if (modified != nullptr && !owns(*modified, sender, "modification")) {
    return;
  }
  if (modified == nullptr && table_.size() >= max_sessions_ && !make_room(announced, sender)) {
    return;
  }
  std::optional<session> replaced;
  bool established = false;
  if (modified != nullptr) {
    established = modified->heard_again;
    replaced = table_.erase(announced.origin, modified->announced.hash);
  }
  const session& added = table_.insert(std::move(announced), std::move(identity), sender, established);
  if (replaced) {
    session_removed(*replaced);
  }
  session_added(added);
}

bool listener::make_room(const session& announced, const sender_address& sender) {
  const session_table::entry* victim = table_.eviction_candidate(sender);
  if (victim == nullptr) {
    ++statistics_.refused;
    if (admit(warning::refused)) {
      writeLog(kLogWarning, kLogFile, __LINE__, "session table full (%zu sessions): dropped IP:%s, id=%u\n",
               table_.size(), sdp::printable(announced.origin).c_str(), unsigned{announced.hash});
    }
    return false;
  }
  ++statistics_.evicted;
  const session_key key = key_of(victim->announced);
  if (admit(warning::evicted)) {
    writeLog(kLogNotice, kLogFile, __LINE__,
             "session table full (%zu sessions): dropped IP:%s, id=%u from %s for IP:%s, id=%u from %s\n",
             table_.size(), sdp::printable(key.first).c_str(), unsigned{key.second}, victim->sender.to_string().c_str(),
             sdp::printable(announced.origin).c_str(), unsigned{announced.hash}, sender.to_string().c_str());
  }
  session_removed(table_.erase(key.first, key.second));
  return true;
}

void listener::check_expired() {
  std::lock_guard<std::mutex> lock(mutex_);
  const int64_t at = now();
  const std::vector<session> expired =
      table_.erase_if([this, at](const session& stored) { return timeout_ < at - stored.last_seen; });
  for (const session& gone : expired) {
    writeLog(kLogWarning, kLogFile, __LINE__, "expired session: %s\n", sdp::printable(gone.origin).c_str());
    session_removed(gone);
  }
  const auto clock_now = clock_();
  for (rate_limited_log& held : warnings_) {
    held.flush(clock_now);
  }
}

listener_statistics listener::statistics() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return statistics_;
}

size_t listener::sender_count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return table_.sender_count();
}

std::vector<session> listener::sessions() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<session> copy;
  copy.reserve(table_.size());
  table_.for_each([&copy](const session& stored) { copy.push_back(stored); });
  return copy;
}

}  // namespace sap
