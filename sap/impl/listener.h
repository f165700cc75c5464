#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/signals2/connection.hpp>
#include <boost/signals2/signal.hpp>

#include "sap/impl/multicast_receiver.h"
#include "sap/impl/periodic_timer.h"
#include "sap/impl/rate_limited_log.h"
#include "sap/impl/session.h"
#include "sap/impl/session_table.h"

namespace sap {

// Knobs of a listener; tests shorten the expiry period and move the clock by hand.
struct listener_options {
  using clock_function = std::function<std::chrono::steady_clock::time_point()>;
  // Bounds the memory spoofed announcements can take.
  static constexpr size_t kMaxSessions = 4096;
  // A sender holding this part of a full table makes room from its own sessions.
  static constexpr size_t kSenderShareDivisor = 4;
  // How often a per-packet warning is written at most; the others are counted.
  static constexpr std::chrono::seconds kLogPeriod{5};

  // Period of the expiry check; zero means the announcement interval.
  std::chrono::milliseconds expiry_period{0};
  // Time source; the steady clock when empty.
  clock_function clock;
  size_t max_sessions = kMaxSessions;
  // Zero means max_sessions / kSenderShareDivisor.
  size_t sender_share = 0;
  std::chrono::milliseconds log_period = kLogPeriod;
};

// What a listener has done with the datagrams it got.
struct listener_statistics {
  uint64_t datagrams = 0;
  // Deletions and announcements about a session that another sender announced: ignored.
  uint64_t foreign = 0;
  // Deletions of sessions not in the table.
  uint64_t unknown_deletions = 0;
  // Sessions dropped from a full table to make room for a new one.
  uint64_t evicted = 0;
  // New sessions a full table could not take.
  uint64_t refused = 0;
};

// The table of sessions announced on one receiver (RFC 2974), keyed by origin and hash. Signals
// a session when it is new, and when it goes: deleted, expired, dropped from a full table, or
// replaced by a modified announcement (which is then signalled as added). A session is changed or
// deleted only by the UDP sender that announced it. The signals run under the table's lock, so a
// slot must not call sessions() of the same listener.
class listener : public std::enable_shared_from_this<listener> {
 public:
  using clock_function = listener_options::clock_function;
  static constexpr size_t kMaxSessions = listener_options::kMaxSessions;

  // A session unheard for max(kMinTimeout, kTimeoutIntervals * interval) expires.
  static constexpr int64_t kMinTimeout = 3600000;
  static constexpr int64_t kTimeoutIntervals = 10;

  using options = listener_options;

  boost::signals2::signal<void(const session&)> session_added;
  boost::signals2::signal<void(const session&)> session_removed;

  // Starts the receiver (when there is one) and the expiry timer on io.
  [[nodiscard]] static std::shared_ptr<listener> create(std::shared_ptr<boost::asio::io_context> io,
                                                        std::shared_ptr<multicast::receiver> receiver,
                                                        uint32_t interval_ms, options opts = {});
  // Closes the receiver and stops the timer.
  virtual ~listener();
  listener(const listener&) = delete;
  listener& operator=(const listener&) = delete;

  // Handles one datagram; never throws.
  void on_datagram(const boost::asio::ip::udp::endpoint& sender, const std::string& datagram);
  // Removes every session unheard for longer than the timeout, and writes the counts of held-back
  // warnings.
  void check_expired();
  // A copy of the table in key order.
  [[nodiscard]] std::vector<session> sessions() const;
  [[nodiscard]] listener_statistics statistics() const;
  // How many senders own the sessions of the table.
  [[nodiscard]] size_t sender_count() const;
  [[nodiscard]] int64_t timeout() const { return timeout_; }
  [[nodiscard]] const std::shared_ptr<multicast::receiver>& receiver() const { return receiver_; }

 private:
  listener(std::shared_ptr<boost::asio::io_context> io, std::shared_ptr<multicast::receiver> receiver,
           uint32_t interval_ms, options opts);
  void start();
  [[nodiscard]] int64_t now() const;
  using sender_address = session_table::sender_address;
  // The per-packet warnings, each written at most once per log period.
  enum class warning { tiny, encrypted, compressed, invalid_utf8, foreign, evicted, refused, failed, count };

  void handle_packet(const sender_address& sender, const std::string& datagram);
  void handle_deletion(const session& deleting, const sender_address& sender);
  void handle_announcement(session announced, const sender_address& sender);
  // True when the sender may change or delete the stored entry; counts and reports it otherwise.
  bool owns(const session_table::entry& stored, const sender_address& sender, const char* what);
  // Drops an entry so that a full table takes a new session from sender; false when none may go.
  bool make_room(const session& announced, const sender_address& sender);
  [[nodiscard]] bool admit(warning kind);

  std::shared_ptr<boost::asio::io_context> io_;
  std::shared_ptr<multicast::receiver> receiver_;
  boost::signals2::scoped_connection receiver_connection_;
  const int64_t interval_;
  const int64_t timeout_;
  const std::chrono::milliseconds expiry_period_;
  const clock_function clock_;
  const size_t max_sessions_;
  std::chrono::steady_clock::time_point reference_;
  mutable std::mutex mutex_;
  session_table table_;
  listener_statistics statistics_;
  std::vector<rate_limited_log> warnings_;
  periodic_timer expiry_timer_;
};

}  // namespace sap
