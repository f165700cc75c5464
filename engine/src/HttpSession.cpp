#include "HttpSession.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <optional>
#include <string>
#include <utility>

#include <boost/asio/post.hpp>
#include <boost/beast/core/string.hpp>

#include "ApiRouter.h"
#include "EngineLog.h"

namespace tvsk {
namespace {

namespace asio = boost::asio;
namespace http = boost::beast::http;
using boost::system::error_code;

// After a refused request, what the client still sends is read and dropped for this long, so it
// sees the answer instead of a reset connection.
constexpr std::chrono::milliseconds kDrainTime{1000};

}  // namespace

// The answer channel of one deferred request: takes the answer to its session on the I/O thread.
class SessionReply final : public DeferredReply, public std::enable_shared_from_this<SessionReply> {
 public:
  SessionReply(std::weak_ptr<HttpSession> session, asio::any_io_executor executor)
      : session_(std::move(session)), executor_(std::move(executor)) {}

  void send(ApiResponse response) override;
  [[nodiscard]] bool abandoned() const override { return abandoned_ || session_.expired(); }
  void abandon() { abandoned_ = true; }

 private:
  std::weak_ptr<HttpSession> session_;
  asio::any_io_executor executor_;
  std::atomic<bool> sent_{false};
  std::atomic<bool> abandoned_{false};
};

void SessionReply::send(ApiResponse response) {
  if (sent_.exchange(true)) {
    return;
  }
  // The session travels with the answer, so its last owner is never the sending thread.
  if (auto session = session_.lock()) {
    asio::post(executor_,
               [session = std::move(session), self = shared_from_this(), response = std::move(response)]() mutable {
                 session->finishDeferred(self, std::move(response));
               });
  }
}

HttpSession::HttpSession(asio::ip::tcp::socket socket, asio::ip::address peer, const ApiRouter& router,
                         const HttpServerOptions& options)
    : stream_(std::move(socket)),
      peer_(std::move(peer)),
      processingTimer_(stream_.executor()),
      reader_(options.headerLimit, options.bodyLimit),
      router_(router),
      options_(options) {}

void HttpSession::start() {
  enterReading();
  continueReading();
}

void HttpSession::refuse() {
  ApiResponse answer = ApiRouter::errorResponse(503, "Too many connections; try again later");
  answer.headers.emplace_back("Retry-After", std::to_string(options_.retryAfter.count()));
  respond(std::move(answer), true);
}

void HttpSession::finishDeferred(const std::shared_ptr<SessionReply>& from, ApiResponse response) {
  if (!pendingReply_ || pendingReply_ != from) {
    return;
  }
  pendingReply_.reset();
  processingTimer_.cancel();
  respond(std::move(response), false);
}

void HttpSession::enterReading() {
  phase_ = ConnectionPhase::Reading;
  since_ = Clock::now();
  received_ = 0;
  stream_.expiresAfter(options_.headerTimeout);
}

void HttpSession::nextRequest() {
  reader_.reset();
  if (reader_.hasUnreadBytes()) {
    enterReading();  // pipelined
  } else {
    phase_ = ConnectionPhase::Idle;
    since_ = Clock::now();
    stream_.expiresAfter(options_.idleTimeout);
  }
  continueReading();
}

void HttpSession::continueReading() {
  switch (reader_.parse()) {
    case RequestReader::Progress::NeedMore: readSome(); return;
    case RequestReader::Progress::HeaderDone: onHeader(); return;
    case RequestReader::Progress::Complete: onRequest(); return;
    case RequestReader::Progress::HeaderTooLarge:
      respond(ApiRouter::errorResponse(431, "Request header fields too large"), true);
      return;
    case RequestReader::Progress::BodyTooLarge:
      respond(ApiRouter::errorResponse(413, "Request body too large"), true);
      return;
    case RequestReader::Progress::Malformed: respond(ApiRouter::errorResponse(400, "Malformed request"), true); return;
  }
}

void HttpSession::readSome() {
  stream_.readSome(reader_.prepare(), [self = shared_from_this()](const error_code& ec, std::size_t size) {
    if (ec) {
      // Closed, reset or timed out: nothing to answer.
      self->closeNow();
      return;
    }
    self->reader_.commit(size);
    if (self->phase_ == ConnectionPhase::Idle) {
      self->enterReading();
    }
    self->received_ += size;
    self->lastProgress_ = Clock::now();
    self->continueReading();
  });
}

void HttpSession::onHeader() {
  // The rest of the request is due within the read timeout of its first byte.
  stream_.expiresAt(since_ + options_.readTimeout);
  const auto& request = reader_.request();
  if (!boost::beast::iequals(request[http::field::expect], "100-continue")) {
    continueReading();
    return;
  }
  stream_.startContinue(request.version());
  write(true);
}

void HttpSession::onRequest() {
  phase_ = ConnectionPhase::Working;
  auto& message = reader_.request();
  framing_.keepAlive = message.keep_alive();
  framing_.version = message.version();
  framing_.headOnly = message.method() == http::verb::head;
  ApiRequest request;
  request.method = std::string(message.method_string());
  request.target = std::string(message.target());
  request.authorization = std::string(message[http::field::authorization]);
  request.body = std::move(message.body());
  ApiOutcome outcome;
  try {
    outcome = router_.handle(request);
  } catch (const std::exception& error) {
    printEngineLine("HTTP: request failed: " + std::string(error.what()), Console::Error);
    respond(ApiRouter::errorResponse(500, "Internal error"), true);
    return;
  }
  if (outcome.deferred) {
    runDeferred(outcome);
    return;
  }
  respond(std::move(outcome.response), false);
}

void HttpSession::runDeferred(const ApiOutcome& outcome) {
  auto reply = std::make_shared<SessionReply>(weak_from_this(), stream_.executor());
  std::optional<ApiResponse> now;
  try {
    now = outcome.deferred(reply);
  } catch (const std::exception& error) {
    now = ApiRouter::errorResponse(500, std::string("Internal error: ") + error.what());
  }
  if (now) {
    respond(std::move(*now), false);
    return;
  }
  pendingReply_ = std::move(reply);
  processingTimer_.expires_after(options_.processingTimeout);
  processingTimer_.async_wait([self = shared_from_this()](const error_code& ec) {
    if (ec || !self->pendingReply_) {
      return;
    }
    // Work that has not begun is dropped; a late answer finds no reply pending.
    self->pendingReply_->abandon();
    self->pendingReply_.reset();
    self->respond(ApiRouter::errorResponse(504, "The device did not answer in time"), true);
  });
}

void HttpSession::respond(ApiResponse answer, bool close) {
  if (close) {
    framing_.keepAlive = false;
  }
  stream_.startAnswer(std::move(answer), framing_);
  write(false);
}

void HttpSession::write(bool interim) {
  phase_ = ConnectionPhase::Writing;
  lastProgress_ = Clock::now();
  writeDeadline_ = lastProgress_ + options_.writeTimeout;
  writeSome(interim);
}

void HttpSession::writeSome(bool interim) {
  stream_.expiresAt(std::min(Clock::now() + options_.writeStallTimeout, writeDeadline_));
  stream_.writeSome([self = shared_from_this(), interim](const error_code& ec, std::size_t) {
    if (ec) {
      self->closeNow();
      return;
    }
    self->lastProgress_ = Clock::now();
    const bool finished = self->stream_.answerSent();
    // While the reader holds part of an answer back, a close drops the rest at once instead of
    // leaving it to the kernel.
    self->abortOnClose(!finished);
    if (finished) {
      self->afterWrite(interim);
    } else {
      self->writeSome(interim);
    }
  });
}

void HttpSession::afterWrite(bool interim) {
  if (interim) {
    phase_ = ConnectionPhase::Reading;
    stream_.expiresAt(since_ + options_.readTimeout);
    continueReading();
  } else if (framing_.keepAlive) {
    nextRequest();
  } else {
    closeGracefully();
  }
}

void HttpSession::abortOnClose(bool abort) {
  if (abort == abortingClose_) {
    return;
  }
  abortingClose_ = abort;
  stream_.setAbortOnClose(abort);
}

void HttpSession::closeNow() {
  phase_ = ConnectionPhase::Closing;
  stream_.close();
}

void HttpSession::closeGracefully() {
  phase_ = ConnectionPhase::Closing;
  stream_.shutdownSend();
  stream_.expiresAfter(kDrainTime);
  drain();
}

void HttpSession::drain() {
  stream_.readSome(asio::buffer(drainBuffer_), [self = shared_from_this()](const error_code& ec, std::size_t) {
    if (ec) {
      self->stream_.close();
      return;
    }
    self->drain();
  });
}

}  // namespace tvsk
