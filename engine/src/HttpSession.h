#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <memory>

#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include "ConnectionEviction.h"
#include "ConnectionStream.h"
#include "HttpServer.h"
#include "RequestReader.h"

namespace tvsk {

class ApiRouter;
struct ApiOutcome;
struct ApiResponse;
class SessionReply;

// One connection of the HTTP server, on its I/O thread: reads its requests within the server's
// limits, hands each to the router and answers it (deferred work through a SessionReply), then
// waits for the next one or closes. Every phase is bounded in time; the deadlines are the stream's.
class HttpSession : public std::enable_shared_from_this<HttpSession> {
 public:
  using Clock = std::chrono::steady_clock;

  HttpSession(boost::asio::ip::tcp::socket socket, boost::asio::ip::address peer, const ApiRouter& router,
              const HttpServerOptions& options);

  void start();
  // Answers 503 and closes: the server has no slot for this connection.
  void refuse();
  // Gives up the slot at once.
  void evict() { closeNow(); }

  [[nodiscard]] const boost::asio::ip::address& peer() const { return peer_; }
  [[nodiscard]] ConnectionStanding standing() const { return {phase_, peer_, since_, lastProgress_, received_}; }

  // On the I/O thread: the answer of deferred work, unless the client already had another.
  void finishDeferred(const std::shared_ptr<SessionReply>& from, ApiResponse response);

 private:
  void enterReading();
  void nextRequest();
  void continueReading();
  void readSome();
  void onHeader();
  void onRequest();
  void runDeferred(const ApiOutcome& outcome);
  void respond(ApiResponse answer, bool close);
  // Sends the answer started on the stream, then goes on reading (after an interim answer) or
  // finishes the request. The whole answer is due within the write timeout, and a reader that
  // accepts no byte of it within the stall timeout is cut off.
  void write(bool interim);
  void writeSome(bool interim);
  void afterWrite(bool interim);
  void abortOnClose(bool abort);
  void closeNow();
  void closeGracefully();
  void drain();

  ConnectionStream stream_;
  boost::asio::ip::address peer_;
  boost::asio::steady_timer processingTimer_;
  RequestReader reader_;
  std::array<char, 4096> drainBuffer_{};
  const ApiRouter& router_;
  const HttpServerOptions& options_;
  std::shared_ptr<SessionReply> pendingReply_;
  ConnectionPhase phase_ = ConnectionPhase::Reading;
  Clock::time_point since_ = Clock::now();
  Clock::time_point lastProgress_ = since_;
  Clock::time_point writeDeadline_;
  std::size_t received_ = 0;  // bytes of the request being read
  bool abortingClose_ = false;
  AnswerFraming framing_;
};

}  // namespace tvsk
