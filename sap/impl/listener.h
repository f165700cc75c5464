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
#include "sap/impl/session.h"
#include "sap/impl/session_table.h"

namespace sap {

// Knobs of a listener; tests shorten the expiry period and move the clock by hand.
struct listener_options {
  using clock_function = std::function<std::chrono::steady_clock::time_point()>;
  // Bounds the memory spoofed announcements can take.
  static constexpr size_t kMaxSessions = 4096;

  // Period of the expiry check; zero means the announcement interval.
  std::chrono::milliseconds expiry_period{0};
  // Time source; the steady clock when empty.
  clock_function clock;
  size_t max_sessions = kMaxSessions;
};

// The table of sessions announced on one receiver (RFC 2974), keyed by origin and hash. Signals
// a session when it is new, and when it goes: deleted, expired, or replaced by a modified
// announcement (which is then signalled as added). The signals run under the table's lock, so a
// slot must not call sessions() of the same listener.
class listener : public std::enable_shared_from_this<listener> {
 public:
  using clock_function = listener_options::clock_function;
  static constexpr size_t kMaxSessions = listener_options::kMaxSessions;

  // A session unheard for max(kMinTimeout, kTimeoutIntervals * interval) expires.
  static constexpr int64_t kMinTimeout = 3600000;
  static constexpr int64_t kTimeoutIntervals = 10;
  static constexpr std::chrono::seconds kFullTableLogInterval{10};

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
  // Removes every session unheard for longer than the timeout.
  void check_expired();
  // A copy of the table in key order.
  [[nodiscard]] std::vector<session> sessions() const;
  [[nodiscard]] int64_t timeout() const { return timeout_; }
  [[nodiscard]] const std::shared_ptr<multicast::receiver>& receiver() const { return receiver_; }

 private:
  listener(std::shared_ptr<boost::asio::io_context> io, std::shared_ptr<multicast::receiver> receiver,
           uint32_t interval_ms, options opts);
  void start();
  [[nodiscard]] int64_t now() const;
  void handle_packet(const std::string& datagram);
  void handle_announcement(session announced);
  void log_full_table(const session& dropped);

  std::shared_ptr<boost::asio::io_context> io_;
  std::shared_ptr<multicast::receiver> receiver_;
  boost::signals2::scoped_connection receiver_connection_;
  const int64_t interval_;
  const int64_t timeout_;
  const std::chrono::milliseconds expiry_period_;
  const clock_function clock_;
  const size_t max_sessions_;
  std::chrono::steady_clock::time_point reference_;
  std::optional<std::chrono::steady_clock::time_point> last_full_log_;
  mutable std::mutex mutex_;
  session_table table_;
  periodic_timer expiry_timer_;
};

}  // namespace sap
