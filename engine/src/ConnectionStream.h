#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/system/error_code.hpp>

namespace tvsk {

struct ApiResponse;

// How an answer is framed for the request it answers.
struct AnswerFraming {
  unsigned version = 11;  // the request's HTTP version
  bool keepAlive = false;
  bool headOnly = false;  // a HEAD request: the body's length without the body
};

// The socket side of one server connection: the Beast TCP stream with its deadline, and answers
// serialized piece by piece. Its handlers are type-erased, so Beast's stream and serializer
// templates are compiled once, here, and an edit of the connection logic (HttpSession) does not
// compile them again.
class ConnectionStream {
 public:
  using Clock = std::chrono::steady_clock;
  using Handler = std::function<void(const boost::system::error_code&, std::size_t)>;

  explicit ConnectionStream(boost::asio::ip::tcp::socket socket);
  ~ConnectionStream();
  ConnectionStream(const ConnectionStream&) = delete;
  ConnectionStream& operator=(const ConnectionStream&) = delete;

  [[nodiscard]] boost::asio::any_io_executor executor();

  // The pending and later reads and writes fail with a timeout past this deadline.
  void expiresAt(Clock::time_point deadline);
  void expiresAfter(Clock::duration timeout);

  void readSome(boost::asio::mutable_buffer buffer, Handler handler);

  // Starts an interim "100 Continue" answer.
  void startContinue(unsigned version);
  // Starts `answer`, the server's name set on it.
  void startAnswer(ApiResponse answer, const AnswerFraming& framing);
  // Sends the next piece of the started answer.
  void writeSome(Handler handler);
  [[nodiscard]] bool answerSent();

  // With `abort`, a close resets the connection and drops what is still unsent.
  void setAbortOnClose(bool abort);
  void shutdownSend();
  void close();

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tvsk
