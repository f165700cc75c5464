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
    writeLog(kLogError, kLogFile, __LINE__, "dropped SAP packet: %s\n", sdp::printable(error.what()).c_str());
  } catch (...) {
    writeLog(kLogError, kLogFile, __LINE__, "dropped SAP packet: unknown exception\n");
  }
}

void listener::handle_packet(const std::string& datagram) {
  std::optional<packet> read = read_sap_packet(datagram);
  if (!read) {
    writeLog(kLogDebug, kLogFile, __LINE__, "dropped SAP packet of %zu bytes: shorter than its header\n",
             datagram.size());
    return;
  }
  if (read->encrypted || read->compressed) {
    writeLog(kLogWarning, kLogFile, __LINE__, "dropped %s SAP packet: IP:%s, id=%u\n",
             read->encrypted ? "encrypted" : "compressed", sdp::printable(read->origin).c_str(), unsigned{read->hash});
    return;
  }
  if (!is_valid_utf8(read->sdp)) {
    writeLog(kLogError, kLogFile, __LINE__, "Receive invalid UTF8 SDP: IP:%s, id=%u, SDP:%s\n",
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
  if (table_.find(announced.origin, announced.hash) == nullptr) {
    session_removed(announced);
    return;
  }
  // The stored session carries the name; a deletion usually holds only the o= line.
  session_removed(table_.erase(announced.origin, announced.hash));
}

void listener::handle_announcement(session announced) {
  if (session_table::entry* stored = table_.find(announced.origin, announced.hash)) {
    stored->announced.last_seen = announced.last_seen;
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
  if (modified == nullptr && table_.size() >= max_sessions_) {
    log_full_table(announced);
    return;
  }
  std::optional<session> replaced;
  if (modified != nullptr) {
    replaced = table_.erase(announced.origin, modified->announced.hash);
  }
  const session& added = table_.insert(std::move(announced), std::move(identity));
  if (replaced) {
    session_removed(*replaced);
  }
  session_added(added);
}

void listener::log_full_table(const session& dropped) {
  const auto at = clock_();
  if (last_full_log_ && at - *last_full_log_ < kFullTableLogInterval) {
    return;
  }
  last_full_log_ = at;
  writeLog(kLogWarning, kLogFile, __LINE__, "session table full (%zu sessions): dropped IP:%s, id=%u\n", table_.size(),
           sdp::printable(dropped.origin).c_str(), unsigned{dropped.hash});
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
}

std::vector<session> listener::sessions() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<session> copy;
  copy.reserve(table_.size());
  table_.for_each([&copy](const session& stored) { copy.push_back(stored); });
  return copy;
}

}  // namespace sap
