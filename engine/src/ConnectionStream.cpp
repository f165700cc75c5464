#include "ConnectionStream.h"

#include <utility>

#include <boost/asio/socket_base.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/serializer.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>

#include "ApiRouter.h"

namespace tvsk {
namespace {

namespace beast = boost::beast;
namespace http = beast::http;

constexpr const char* kServerName = "TaviskEngine";

// An answer being sent.
class Outgoing {
 public:
  virtual ~Outgoing() = default;
  virtual void writeSome(beast::tcp_stream& stream, ConnectionStream::Handler handler) = 0;
  [[nodiscard]] virtual bool done() = 0;
};

// The message with the serializer that sends it piece by piece.
template <typename Body>
class OutgoingMessage final : public Outgoing {
 public:
  explicit OutgoingMessage(http::response<Body> message) : message_(std::move(message)), serializer_(message_) {}

  void writeSome(beast::tcp_stream& stream, ConnectionStream::Handler handler) override {
    http::async_write_some(stream, serializer_, std::move(handler));
  }
  [[nodiscard]] bool done() override { return serializer_.is_done(); }

 private:
  http::response<Body> message_;
  http::response_serializer<Body> serializer_;
};

}  // namespace

class ConnectionStream::Impl {
 public:
  explicit Impl(boost::asio::ip::tcp::socket socket) : stream(std::move(socket)) {}

  beast::tcp_stream stream;
  std::unique_ptr<Outgoing> outgoing;
};

ConnectionStream::ConnectionStream(boost::asio::ip::tcp::socket socket)
    : impl_(std::make_unique<Impl>(std::move(socket))) {}

ConnectionStream::~ConnectionStream() = default;

boost::asio::any_io_executor ConnectionStream::executor() { return impl_->stream.get_executor(); }

void ConnectionStream::expiresAt(Clock::time_point deadline) { impl_->stream.expires_at(deadline); }

void ConnectionStream::expiresAfter(Clock::duration timeout) { impl_->stream.expires_after(timeout); }

void ConnectionStream::readSome(boost::asio::mutable_buffer buffer, Handler handler) {
  impl_->stream.async_read_some(buffer, std::move(handler));
}

void ConnectionStream::startContinue(unsigned version) {
  impl_->outgoing = std::make_unique<OutgoingMessage<http::empty_body>>(
      http::response<http::empty_body>(http::status::continue_, version));
}

void ConnectionStream::startAnswer(ApiResponse answer, const AnswerFraming& framing) {
  http::response<http::string_body> response(static_cast<http::status>(answer.status),
                                             framing.version == 0 ? 11 : framing.version);
  response.set(http::field::server, kServerName);
  response.set(http::field::content_type, answer.contentType);
  for (const auto& [name, value] : answer.headers) {
    response.set(name, value);
  }
  response.keep_alive(framing.keepAlive);
  if (framing.headOnly) {
    response.content_length(answer.body.size());
  } else {
    response.body() = std::move(answer.body);
    response.prepare_payload();
  }
  impl_->outgoing = std::make_unique<OutgoingMessage<http::string_body>>(std::move(response));
}

void ConnectionStream::writeSome(Handler handler) { impl_->outgoing->writeSome(impl_->stream, std::move(handler)); }

bool ConnectionStream::answerSent() { return !impl_->outgoing || impl_->outgoing->done(); }

void ConnectionStream::setAbortOnClose(bool abort) {
  beast::error_code ignored;
  impl_->stream.socket().set_option(boost::asio::socket_base::linger(abort, 0), ignored);
}

void ConnectionStream::shutdownSend() {
  beast::error_code ignored;
  impl_->stream.socket().shutdown(boost::asio::ip::tcp::socket::shutdown_send, ignored);
}

void ConnectionStream::close() { impl_->stream.close(); }

}  // namespace tvsk
