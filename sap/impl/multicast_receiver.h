#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/signals2/signal.hpp>

namespace sap::multicast {

// One UDP socket that joins an IPv4 multicast group on one local interface and hands every
// datagram to its subscribers. Exactly one receive is pending while open.
class receiver : public std::enable_shared_from_this<receiver> {
 public:
  // Larger than any UDP datagram, so nothing is ever cut (Linux truncates without an error).
  static constexpr size_t kBufferSize = 65536;
  // Pause before receiving again after an unexpected receive error.
  static constexpr std::chrono::milliseconds kRetryDelay{100};
  // close() waits this many 10 ms passes for the pending receive to end.
  static constexpr int kCloseRetries = 299;
  // Socket receive buffer asked for: a burst of a few thousand announcements waits there while the
  // discovery thread catches up (the usual default holds fewer than 200).
  static constexpr int kReceiveBufferSize = 4 << 20;

  boost::signals2::signal<void(const boost::asio::ip::udp::endpoint& sender, const std::string& datagram)>
      datagram_received;
  boost::signals2::signal<void(const boost::system::error_code&)> receive_error;

  // Throws for address texts that do not parse, and bad_address_cast for an IPv6 group or
  // interface. Socket errors are printed instead: the receiver then stays inert. The context must
  // outlive the receiver but is not kept alive by it: a receive still pending when the context is
  // destroyed releases the receiver instead of holding both in a cycle. A receive buffer smaller
  // than asked for is printed and the receiver works on with what the system granted.
  receiver(const std::string& name, const std::string& group, uint16_t port, const std::string& interface_address,
           const std::shared_ptr<boost::asio::io_context>& io, int receive_buffer = kReceiveBufferSize);
  virtual ~receiver();
  receiver(const receiver&) = delete;
  receiver& operator=(const receiver&) = delete;

  // Starts the receive loop; false when set-up failed or the receiver is closed.
  bool start();
  // Closes the socket on the I/O thread and waits (bounded) until no receive is pending.
  // Called on the I/O thread itself it closes at once and does not wait.
  void close();

  [[nodiscard]] bool is_open() const { return open_; }
  [[nodiscard]] int pending_receives() const;

 private:
  void start_receive();
  void on_receive(const boost::system::error_code& error, size_t size);
  void retry_later();
  void close_socket();
  void add_pending(int delta);

  boost::asio::io_context& io_;
  boost::asio::ip::udp::socket socket_;
  boost::asio::steady_timer retry_timer_;
  boost::asio::ip::udp::endpoint sender_;
  boost::asio::ip::udp::endpoint listen_endpoint_;
  std::vector<char> buffer_;
  // The datagram handed to the subscribers; kept so that its storage is reused.
  std::string datagram_;
  std::atomic<bool> open_{false};
  mutable std::mutex pending_mutex_;
  std::condition_variable pending_changed_;
  int pending_ = 0;
};

}  // namespace sap::multicast
