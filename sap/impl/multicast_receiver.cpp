#include "sap/impl/multicast_receiver.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>
#include <exception>

#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/bad_address_cast.hpp>
#include <boost/asio/ip/multicast.hpp>
#include <boost/asio/post.hpp>

namespace sap::multicast {

namespace asio = boost::asio;
using boost::system::error_code;

namespace {

// Without it Linux hands a socket bound to 0.0.0.0 the traffic of every membership of the host,
// so each interface's receiver would see every interface's announcements.
error_code receive_own_memberships_only(asio::ip::udp::socket& socket) {
  const int off = 0;
  if (setsockopt(socket.native_handle(), IPPROTO_IP, IP_MULTICAST_ALL, &off, sizeof(off)) != 0) {
    return error_code(errno, boost::system::system_category());
  }
  return {};
}

// Linux counts its own bookkeeping in the buffer and reports twice the size asked for.
int granted_receive_buffer(int fd) {
  int size = 0;
  socklen_t length = sizeof(size);
  return getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, &length) == 0 ? size / 2 : 0;
}

// The ordinary request is capped by net.core.rmem_max; a privileged process may go beyond it.
void ask_for_receive_buffer(asio::ip::udp::socket& socket, int size) {
  const int fd = socket.native_handle();
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size)) == 0 && granted_receive_buffer(fd) >= size) {
    return;
  }
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof(size)) == 0 && granted_receive_buffer(fd) >= size) {
    return;
  }
  std::printf("sap::receiver receive buffer: asked for %d bytes, granted %d\n", size, granted_receive_buffer(fd));
  std::fflush(stdout);
}

void print_flushed(const char* format, const std::string& text, int value) {
  std::printf(format, text.c_str(), value);
  std::fflush(stdout);
}

}  // namespace

receiver::receiver(const std::string& /*name*/, const std::string& group, uint16_t port,
                   const std::string& interface_address, const std::shared_ptr<asio::io_context>& io,
                   int receive_buffer)
    : io_(*io),
      socket_(io_),
      retry_timer_(io_),
      listen_endpoint_(asio::ip::address_v4::any(), port),
      buffer_(kBufferSize, '\0') {
  const asio::ip::address group_address = asio::ip::make_address(group);
  const asio::ip::address local_address = asio::ip::make_address(interface_address);
  if (!group_address.is_v4() || !local_address.is_v4()) {
    throw asio::ip::bad_address_cast();
  }
  error_code error;
  socket_.open(asio::ip::udp::v4(), error);
  if (!error) {
    socket_.set_option(asio::socket_base::reuse_address(true), error);
  }
  if (!error) {
    error = receive_own_memberships_only(socket_);
  }
  if (!error) {
    socket_.set_option(asio::ip::multicast::join_group(group_address.to_v4(), local_address.to_v4()), error);
  }
  if (!error) {
    socket_.bind(listen_endpoint_, error);
  }
  if (error) {
    print_flushed("sap::receiver::receiver error: %s (%d)\n", error.message(), error.value());
    error_code ignored;
    socket_.close(ignored);
    return;
  }
  ask_for_receive_buffer(socket_, receive_buffer);
  open_ = true;
}

receiver::~receiver() {
  datagram_received.disconnect_all_slots();
  receive_error.disconnect_all_slots();
  // No handler holds this object any more, so the socket is ours alone.
  open_ = false;
  close_socket();
}

bool receiver::start() {
  if (!open_) {
    return false;
  }
  start_receive();
  return true;
}

void receiver::add_pending(int delta) {
  std::lock_guard<std::mutex> lock(pending_mutex_);
  pending_ += delta;
  // Only close() waits, and only for none pending.
  if (pending_ == 0) {
    pending_changed_.notify_all();
  }
}

int receiver::pending_receives() const {
  std::lock_guard<std::mutex> lock(pending_mutex_);
  return pending_;
}

void receiver::start_receive() {
  add_pending(1);
  socket_.async_receive_from(asio::buffer(buffer_), sender_,
                             [self = shared_from_this()](const error_code& error, size_t size) {
                               self->on_receive(error, size);
                             });
}

void receiver::on_receive(const error_code& error, size_t size) {
  struct pending_done {
    receiver& owner;
    ~pending_done() { owner.add_pending(-1); }
  } done{*this};

  if (error == asio::error::operation_aborted || error == asio::error::bad_descriptor || !open_) {
    return;
  }
  try {
    if (error) {
      receive_error(error);
    }
    if (error && error != asio::error::message_size) {
      print_flushed("sap::receiver::on_receive error: %s (%d)\n", error.message(), error.value());
      retry_later();
      return;
    }
    datagram_.assign(buffer_.data(), size);
    datagram_received(sender_, datagram_);
  } catch (const std::exception& failure) {
    std::printf("sap::receiver::on_receive exception: %s\n", failure.what());
    std::fflush(stdout);
  }
  if (open_) {
    start_receive();
  }
}

void receiver::retry_later() {
  if (!open_) {
    return;
  }
  add_pending(1);
  retry_timer_.expires_after(kRetryDelay);
  retry_timer_.async_wait([self = shared_from_this()](const error_code& error) {
    self->add_pending(-1);
    if (!error && self->open_) {
      self->start_receive();
    }
  });
}

void receiver::close_socket() {
  retry_timer_.cancel();
  if (!socket_.is_open()) {
    return;
  }
  error_code error;
  socket_.cancel(error);
  socket_.close(error);
  if (error) {
    print_flushed("sap::receiver::~receiver() error: %s (%d)\n", error.message(), error.value());
  }
}

void receiver::close() {
  open_ = false;
  if (io_.get_executor().running_in_this_thread() || io_.stopped()) {
    close_socket();
    return;
  }
  // The socket belongs to the I/O thread; the aborted receive completes there.
  asio::post(io_, [self = shared_from_this()] { self->close_socket(); });
  std::unique_lock<std::mutex> lock(pending_mutex_);
  for (int retry = kCloseRetries; pending_ > 0; --retry) {
    if (retry < 0) {
      std::printf("sap::receiver never terminates %i\n", retry);
      std::fflush(stdout);
      return;
    }
    std::printf("iRetryCounter = %i, m_iPendingIOCounter: %i\n", retry, pending_);
    std::fflush(stdout);
    pending_changed_.wait_for(lock, std::chrono::milliseconds(10));
  }
}

}  // namespace sap::multicast
