#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <thread>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

namespace tvsk {

class ApiRouter;
class HttpSession;

struct HttpServerOptions {
  std::string address = "0.0.0.0";  // all IPv4 addresses: agents on other hosts attach
  uint16_t port = 0;                // 0: an ephemeral port
  std::size_t headerLimit = 64 * 1024;
  std::size_t bodyLimit = 1024 * 1024;
  // A request's header section must arrive within this time: a new connection's from its opening,
  // a kept-alive one's from the request's first byte. Short, so silent sockets do not hold slots.
  std::chrono::milliseconds headerTimeout{5000};
  // The whole request must arrive within this time of its first byte.
  std::chrono::milliseconds readTimeout{10000};
  // A kept-alive connection waiting for its next request is closed after this.
  std::chrono::milliseconds idleTimeout{10000};
  // The whole answer must be written within this time,
  std::chrono::milliseconds writeTimeout{10000};
  // and a reader that accepts no byte of it for this long is cut off, its place freed at once.
  std::chrono::milliseconds writeStallTimeout{3000};
  // Longest wait for deferred work (a device action); then 504, and the work is dropped unless it
  // has begun.
  std::chrono::milliseconds processingTimeout{30000};
  // At the cap a new connection takes the slot of a closing or idle one, else one of the peer
  // address holding the most connections: an answer whose reader has stalled, else the request
  // arriving slowest (see chooseConnectionToEvict). A connection whose request is being handled
  // keeps its slot; when none can give way the new one is answered 503.
  std::size_t maxConnections = 64;
  // One peer address holds at most this many; past it, its new connection takes the slot of one
  // of its own the same way (503 when all of them are being handled), so a host churning
  // connections cuts off only its own.
  std::size_t maxConnectionsPerPeer = 16;
  std::chrono::seconds retryAfter{1};
};

// The engine's HTTP server: one I/O thread, every connection bounded in size and time. Deferred
// work of the router queues itself elsewhere and answers through the connection's reply. No
// exception from a parser, a socket or a handler leaves the I/O thread.
class HttpServer {
 public:
  explicit HttpServer(const ApiRouter& router, HttpServerOptions options = {});
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Binds and starts the I/O thread; false with `error` set when the address cannot be bound.
  [[nodiscard]] bool start(std::string& error);
  // Closes every connection and joins the I/O thread. Idempotent.
  void stop();

  [[nodiscard]] uint16_t port() const { return port_; }

 private:
  void accept();
  void admit(boost::asio::ip::tcp::socket socket);
  // Frees a slot for a new connection, one of `onlyPeer`'s own when given; false when no
  // connection may give way.
  bool makeRoom(const boost::asio::ip::address* onlyPeer);
  void run();

  const ApiRouter& router_;
  HttpServerOptions options_;
  // Touched on the I/O thread only; they outlive io_, whose destruction may end sessions.
  std::list<std::weak_ptr<HttpSession>> sessions_;
  std::list<std::weak_ptr<HttpSession>> refusals_;
  boost::asio::io_context io_;
  boost::asio::ip::tcp::acceptor acceptor_;
  std::thread thread_;
  uint16_t port_ = 0;
  bool stopped_ = false;
};

}  // namespace tvsk
