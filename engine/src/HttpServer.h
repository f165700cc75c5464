#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "ApiRouter.h"

namespace tvsk {

struct HttpServerOptions {
  std::string address = "0.0.0.0";  // all IPv4 addresses: agents on other hosts attach
  uint16_t port = 0;                 // 0: an ephemeral port
  std::size_t headerLimit = 64 * 1024;
  std::size_t bodyLimit = 1024 * 1024;
  // A request must arrive whole within this time; an idle kept-alive connection is closed after it.
  std::chrono::milliseconds readTimeout{10000};
  std::chrono::milliseconds writeTimeout{10000};
  // Longest wait for deferred work (a device action); then 504.
  std::chrono::milliseconds processingTimeout{30000};
  std::size_t maxConnections = 64;
};

// The engine's HTTP server: one I/O thread, every connection bounded in size and time. Deferred
// work of the router is handed to `offload`, which runs it on another thread.
class HttpServer {
 public:
  using Offload = std::function<void(std::function<void()>)>;

  HttpServer(const ApiRouter& router, Offload offload, HttpServerOptions options = {});
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Binds and starts the I/O thread; false with `error` set when the address cannot be bound.
  [[nodiscard]] bool start(std::string& error);
  // Closes every connection and joins the I/O thread. Idempotent.
  void stop();

  [[nodiscard]] uint16_t port() const { return port_; }

  class Session;

 private:
  void accept();

  const ApiRouter& router_;
  Offload offload_;
  HttpServerOptions options_;
  boost::asio::io_context io_;
  boost::asio::ip::tcp::acceptor acceptor_;
  std::shared_ptr<std::atomic<std::size_t>> openConnections_;
  std::thread thread_;
  uint16_t port_ = 0;
  bool stopped_ = false;
};

}  // namespace tvsk
