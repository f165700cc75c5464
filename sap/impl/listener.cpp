#include "sap/impl/listener.h"

#include <algorithm>
#include <exception>

#include "log/plugin_log.h"
#include "sap/impl/sap_packet.h"
#include "sap/impl/utf8.h"
#include "sdp/src/log_text.h"

namespace sap {

namespace {

constexpr const char* kLogFile = "sap_listener";
constexpr uint32_t kLevelError = 3;
constexpr uint32_t kLevelWarning = 4;
constexpr uint32_t kLevelDebug = 7;

// Versions are decimal numbers of any length.
bool is_newer_version(const std::string& candidate, const std::string& stored) {
  const auto is_number = [](const std::string& text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
  };
  if (!is_number(candidate) || !is_number(stored)) {
    return false;
  }
  const auto trimmed = [](const std::string& text) {
    const size_t first = text.find_first_not_of('0');
    return first == std::string::npos ? std::string() : text.substr(first);
  };
  const std::string a = trimmed(candidate);
  const std::string b = trimmed(stored);
  return a.size() != b.size() ? a.size() > b.size() : a > b;
}

}  // namespace

std::shared_ptr<listener> listener::create(std::shared_ptr<boost::asio::io_context> io,
                                           std::shared_ptr<multicast::receiver> receiver,
                                           uint32_t interval_ms, options opts) {
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
      expiry_timer_(*io_, "sap::listener", expiry_period_, true) {}

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

void listener::on_datagram(const boost::asio::ip::udp::endpoint& /*sender*/, const std::string& datagram) {
  try {
    handle_packet(datagram);
  } catch (const std::exception& error) {
    writeLog(kLevelError, kLogFile, __LINE__, "dropped SAP packet: %s\n", sdp::printable(error.what()).c_str());
  } catch (...) {
    writeLog(kLevelError, kLogFile, __LINE__, "dropped SAP packet: unknown exception\n");
  }
}

void listener::handle_packet(const std::string& datagram) {
  std::optional<packet> read = read_sap_packet(datagram);
  if (!read) {
    writeLog(kLevelDebug, kLogFile, __LINE__, "dropped SAP packet of %zu bytes: shorter than its header\n",
             datagram.size());
    return;
  }
  if (read->encrypted || read->compressed) {
    writeLog(kLevelWarning, kLogFile, __LINE__, "dropped %s SAP packet: IP:%s, id=%u\n",
             read->encrypted ? "encrypted" : "compressed", sdp::printable(read->origin).c_str(), unsigned{read->hash});
    return;
  }
  if (!is_valid_utf8(read->sdp)) {
    writeLog(kLevelError, kLogFile, __LINE__, "Receive invalid UTF8 SDP: IP:%s, id=%u, SDP:%s\n",
             sdp::printable(read->origin).c_str(), unsigned{read->hash}, sdp::printable(read->sdp).c_str());
  }
  if (read->hash == 0) {
    return;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  session announced{std::move(read->origin), read->hash, std::move(read->payload_type), std::move(read->sdp), now()};
  if (!read->deletion) {
    handle_announcement(std::move(announced));
    return;
  }
  const auto found = table_.find(key_of(announced));
  if (found == table_.end()) {
    session_removed(announced);
    return;
  }
  // The stored session carries the name; a deletion usually holds only the o= line.
  const session stored = std::move(found->second.announced);
  table_.erase(found);
  session_removed(stored);
}

void listener::handle_announcement(session announced) {
  const auto found = table_.find(key_of(announced));
  if (found != table_.end()) {
    session& stored = found->second.announced;
    stored.last_seen = announced.last_seen;
    if (stored.payload_type == announced.payload_type && stored.sdp == announced.sdp) {
      return;
    }
    const session previous = stored;
    entry& changed = found->second;
    changed.identity = sdp_origin_identity(announced.sdp);
    changed.announced = announced;
    session_removed(previous);
    session_added(announced);
    return;
  }
  entry candidate;
  candidate.identity = sdp_origin_identity(announced.sdp);
  candidate.announced = std::move(announced);
  std::optional<session> replaced;
  const auto modified = modified_entry(candidate);
  if (modified != table_.end()) {
    replaced = std::move(modified->second.announced);
    table_.erase(modified);
  } else if (table_.size() >= max_sessions_) {
    log_full_table(candidate.announced);
    return;
  }
  const auto inserted = table_.emplace(key_of(candidate.announced), std::move(candidate)).first;
  if (replaced) {
    session_removed(*replaced);
  }
  session_added(inserted->second.announced);
}

listener::table_type::iterator listener::modified_entry(const entry& candidate) {
  if (candidate.identity.session.empty()) {
    return table_.end();
  }
  const std::string& origin = candidate.announced.origin;
  for (auto it = table_.lower_bound(session_key{origin, 0}); it != table_.end() && it->first.first == origin; ++it) {
    const origin_identity& stored = it->second.identity;
    if (stored.session == candidate.identity.session &&
        is_newer_version(candidate.identity.version, stored.version)) {
      return it;
    }
  }
  return table_.end();
}

void listener::log_full_table(const session& dropped) {
  const auto at = clock_();
  if (last_full_log_ && at - *last_full_log_ < kFullTableLogInterval) {
    return;
  }
  last_full_log_ = at;
  writeLog(kLevelWarning, kLogFile, __LINE__, "session table full (%zu sessions): dropped IP:%s, id=%u\n",
           table_.size(), sdp::printable(dropped.origin).c_str(), unsigned{dropped.hash});
}

void listener::check_expired() {
  std::lock_guard<std::mutex> lock(mutex_);
  const int64_t at = now();
  std::vector<session> expired;
  for (auto it = table_.begin(); it != table_.end();) {
    if (timeout_ < at - it->second.announced.last_seen) {
      expired.push_back(std::move(it->second.announced));
      it = table_.erase(it);
    } else {
      ++it;
    }
  }
  for (const session& gone : expired) {
    writeLog(kLevelWarning, kLogFile, __LINE__, "expired session: %s\n", sdp::printable(gone.origin).c_str());
    session_removed(gone);
  }
}

std::vector<session> listener::sessions() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<session> copy;
  copy.reserve(table_.size());
  for (const auto& [key, stored] : table_) {
    copy.push_back(stored.announced);
  }
  return copy;
}

}  // namespace sap
