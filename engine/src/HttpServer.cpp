#include "HttpServer.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <exception>
#include <optional>
#include <utility>
#include <vector>

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include "ConnectionEviction.h"
#include "EngineLog.h"
#include "RequestReader.h"

namespace tvsk {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

constexpr const char* kServerName = "TaviskEngine";
// After a refused request, what the client still sends is read and dropped for this long, so it
// sees the answer instead of a reset connection.
constexpr std::chrono::milliseconds kDrainTime{1000};
constexpr std::chrono::milliseconds kAcceptRetryDelay{100};

// Drops expired entries; how many stay.
template <typename T>
std::size_t prune(std::list<std::weak_ptr<T>>& list) {
  list.remove_if([](const std::weak_ptr<T>& entry) { return entry.expired(); });
  return list.size();
}

}  // namespace

// The answer channel of one deferred request: takes the answer to its session on the I/O thread.
class SessionReply final : public DeferredReply, public std::enable_shared_from_this<SessionReply> {
 public:
  using Executor = beast::tcp_stream::executor_type;

  SessionReply(std::weak_ptr<HttpServer::Session> session, Executor executor)
      : session_(std::move(session)), executor_(std::move(executor)) {}

  void send(ApiResponse response) override;
  [[nodiscard]] bool abandoned() const override { return abandoned_ || session_.expired(); }
  void abandon() { abandoned_ = true; }

 private:
  std::weak_ptr<HttpServer::Session> session_;
  Executor executor_;
  std::atomic<bool> sent_{false};
  std::atomic<bool> abandoned_{false};
};

class HttpServer::Session : public std::enable_shared_from_this<HttpServer::Session> {
 public:
  Session(tcp::socket socket, asio::ip::address peer, const ApiRouter& router, const HttpServerOptions& options)
      : stream_(std::move(socket)),
        peer_(std::move(peer)),
        processingTimer_(stream_.get_executor()),
        reader_(options.headerLimit, options.bodyLimit),
        router_(router),
        options_(options) {}

  void start() {
    enterReading();
    continueReading();
  }

  // Answers 503 and closes: the server has no slot for this connection.
  void refuse() {
    ApiResponse answer = ApiRouter::errorResponse(503, "Too many connections; try again later");
    answer.headers.emplace_back("Retry-After", std::to_string(options_.retryAfter.count()));
    respond(std::move(answer), true);
  }

  // Gives up the slot at once.
  void evict() { closeNow(); }

  [[nodiscard]] const asio::ip::address& peer() const { return peer_; }
  [[nodiscard]] ConnectionStanding standing() const { return {phase_, peer_, since_, lastProgress_, received_}; }

  // On the I/O thread: the answer of deferred work, unless the client already had another.
  void finishDeferred(const std::shared_ptr<SessionReply>& from, ApiResponse response) {
    if (!pendingReply_ || pendingReply_ != from) {
      return;
    }
    pendingReply_.reset();
    processingTimer_.cancel();
    respond(std::move(response), false);
  }

 private:
  // An answer with the serializer that sends it piece by piece, each piece under its own timeout.
  template <typename Body>
  struct Outgoing {
    explicit Outgoing(http::response<Body> answer) : message(std::move(answer)), serializer(message) {}
    http::response<Body> message;
    http::response_serializer<Body> serializer;
  };

  void enterReading() {
    phase_ = ConnectionPhase::Reading;
    since_ = Clock::now();
    received_ = 0;
    stream_.expires_after(options_.headerTimeout);
  }

  void nextRequest() {
    reader_.reset();
    if (reader_.hasUnreadBytes()) {
      enterReading();  // pipelined
    } else {
      phase_ = ConnectionPhase::Idle;
      since_ = Clock::now();
      stream_.expires_after(options_.idleTimeout);
    }
    continueReading();
  }

  void continueReading() {
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
      case RequestReader::Progress::Malformed:
        respond(ApiRouter::errorResponse(400, "Malformed request"), true);
        return;
    }
  }

  void readSome() {
    stream_.async_read_some(reader_.prepare(), [self = shared_from_this()](beast::error_code ec, std::size_t size) {
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

  void onHeader() {
    // The rest of the request is due within the read timeout of its first byte.
    stream_.expires_at(since_ + options_.readTimeout);
    const auto& request = reader_.request();
    if (!beast::iequals(request[http::field::expect], "100-continue")) {
      continueReading();
      return;
    }
    write(http::response<http::empty_body>(http::status::continue_, request.version()), [this] {
      phase_ = ConnectionPhase::Reading;
      stream_.expires_at(since_ + options_.readTimeout);
      continueReading();
    });
  }

  void onRequest() {
    phase_ = ConnectionPhase::Working;
    auto& message = reader_.request();
    keepAlive_ = message.keep_alive();
    version_ = message.version();
    headRequest_ = message.method() == http::verb::head;
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
      runDeferred(outcome.deferred);
      return;
    }
    respond(std::move(outcome.response), false);
  }

  void runDeferred(const ApiOutcome::Deferred& work) {
    auto reply = std::make_shared<SessionReply>(weak_from_this(), stream_.get_executor());
    std::optional<ApiResponse> now;
    try {
      now = work(reply);
    } catch (const std::exception& error) {
      now = ApiRouter::errorResponse(500, std::string("Internal error: ") + error.what());
    }
    if (now) {
      respond(std::move(*now), false);
      return;
    }
    pendingReply_ = std::move(reply);
    processingTimer_.expires_after(options_.processingTimeout);
    processingTimer_.async_wait([self = shared_from_this()](beast::error_code ec) {
      if (ec || !self->pendingReply_) {
        return;
      }
      // Work that has not begun is dropped; a late answer finds no reply pending.
      self->pendingReply_->abandon();
      self->pendingReply_.reset();
      self->respond(ApiRouter::errorResponse(504, "The device did not answer in time"), true);
    });
  }

  void respond(ApiResponse answer, bool close) {
    if (close) {
      keepAlive_ = false;
    }
    http::response<http::string_body> response(static_cast<http::status>(answer.status), version_ == 0 ? 11 : version_);
    response.set(http::field::server, kServerName);
    response.set(http::field::content_type, answer.contentType);
    for (const auto& [name, value] : answer.headers) {
      response.set(name, value);
    }
    response.keep_alive(keepAlive_);
    if (headRequest_) {
      response.content_length(answer.body.size());
    } else {
      response.body() = std::move(answer.body);
      response.prepare_payload();
    }
    write(std::move(response), [this] {
      if (keepAlive_) {
        nextRequest();
      } else {
        closeGracefully();
      }
    });
  }

  // Sends `message`, then runs `done`. The whole answer is due within the write timeout, and a
  // reader that accepts no byte of it within the stall timeout is cut off.
  template <typename Body, typename Done>
  void write(http::response<Body> message, Done done) {
    phase_ = ConnectionPhase::Writing;
    lastProgress_ = Clock::now();
    writeDeadline_ = lastProgress_ + options_.writeTimeout;
    writeSome(std::make_shared<Outgoing<Body>>(std::move(message)), std::move(done));
  }

  template <typename Body, typename Done>
  void writeSome(std::shared_ptr<Outgoing<Body>> outgoing, Done done) {
    stream_.expires_at(std::min(Clock::now() + options_.writeStallTimeout, writeDeadline_));
    auto& serializer = outgoing->serializer;
    http::async_write_some(stream_, serializer,
                           [self = shared_from_this(), outgoing = std::move(outgoing),
                            done = std::move(done)](beast::error_code ec, std::size_t) mutable {
                             if (ec) {
                               self->closeNow();
                               return;
                             }
                             self->lastProgress_ = Clock::now();
                             const bool finished = outgoing->serializer.is_done();
                             // While the reader holds part of an answer back, a close drops the rest
                             // at once instead of leaving it to the kernel.
                             self->abortOnClose(!finished);
                             if (finished) {
                               done();
                             } else {
                               self->writeSome(std::move(outgoing), std::move(done));
                             }
                           });
  }

  void abortOnClose(bool abort) {
    if (abort == abortingClose_) {
      return;
    }
    abortingClose_ = abort;
    beast::error_code ignored;
    stream_.socket().set_option(asio::socket_base::linger(abort, 0), ignored);
  }

  void closeNow() {
    phase_ = ConnectionPhase::Closing;
    stream_.close();
  }

  void closeGracefully() {
    phase_ = ConnectionPhase::Closing;
    beast::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
    stream_.expires_after(kDrainTime);
    drain();
  }

  void drain() {
    stream_.async_read_some(asio::buffer(drainBuffer_), [self = shared_from_this()](beast::error_code ec, std::size_t) {
      if (ec) {
        self->stream_.close();
        return;
      }
      self->drain();
    });
  }

  beast::tcp_stream stream_;
  asio::ip::address peer_;
  asio::steady_timer processingTimer_;
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
  bool keepAlive_ = false;
  bool headRequest_ = false;
  unsigned version_ = 11;
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

HttpServer::HttpServer(const ApiRouter& router, HttpServerOptions options)
    : router_(router), options_(std::move(options)), acceptor_(io_) {}

HttpServer::~HttpServer() { stop(); }

bool HttpServer::start(std::string& error) {
  beast::error_code ec;
  const auto address = asio::ip::make_address_v4(options_.address, ec);
  if (ec) {
    error = "bad listen address " + options_.address;
    return false;
  }
  const tcp::endpoint endpoint(address, options_.port);
  acceptor_.open(endpoint.protocol(), ec);
  if (!ec) acceptor_.set_option(asio::socket_base::reuse_address(true), ec);
  if (!ec) acceptor_.bind(endpoint, ec);
  if (!ec) acceptor_.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    error = ec.message();
    beast::error_code ignored;
    acceptor_.close(ignored);
    return false;
  }
  port_ = acceptor_.local_endpoint(ec).port();
  accept();
  thread_ = std::thread([this] { run(); });
  return true;
}

void HttpServer::run() {
  for (;;) {
    try {
      io_.run();
      return;
    } catch (const std::exception& error) {
      // The handler's session is gone with its connection; the others go on.
      printEngineLine("HTTP: connection dropped after an error: " + std::string(error.what()), Console::Error);
    } catch (...) {
      printEngineLine("HTTP: connection dropped after an unknown error", Console::Error);
    }
  }
}

void HttpServer::accept() {
  acceptor_.async_accept([this](beast::error_code ec, tcp::socket socket) {
    if (ec == asio::error::operation_aborted || !acceptor_.is_open()) {
      return;
    }
    if (ec) {
      // Out of descriptors, for example: try again a little later instead of spinning.
      auto timer = std::make_shared<asio::steady_timer>(io_, kAcceptRetryDelay);
      timer->async_wait([this, timer](beast::error_code) { accept(); });
      return;
    }
    admit(std::move(socket));
    accept();
  });
}

void HttpServer::admit(tcp::socket socket) {
  beast::error_code ec;
  asio::ip::address peer = socket.remote_endpoint(ec).address();
  if (ec) {
    return;  // already gone
  }
  const std::size_t open = prune(sessions_);
  const auto fromPeer =
      static_cast<std::size_t>(std::count_if(sessions_.begin(), sessions_.end(), [&](const auto& entry) {
        const auto session = entry.lock();
        return session && session->peer() == peer;
      }));
  const bool room = fromPeer >= options_.maxConnectionsPerPeer ? makeRoom(&peer)
                                                               : open < options_.maxConnections || makeRoom(nullptr);
  if (room) {
    auto session = std::make_shared<Session>(std::move(socket), std::move(peer), router_, options_);
    sessions_.push_back(session);
    session->start();
    return;
  }
  // Refusals are answered within their own cap; past it the connection is just closed.
  if (prune(refusals_) < options_.maxConnections) {
    auto session = std::make_shared<Session>(std::move(socket), std::move(peer), router_, options_);
    refusals_.push_back(session);
    session->refuse();
    return;
  }
  beast::error_code ignored;
  socket.close(ignored);
}

bool HttpServer::makeRoom(const asio::ip::address* onlyPeer) {
  std::vector<std::list<std::weak_ptr<Session>>::iterator> entries;
  std::vector<ConnectionStanding> standings;
  for (auto it = sessions_.begin(); it != sessions_.end(); ++it) {
    if (const auto session = it->lock()) {
      entries.push_back(it);
      standings.push_back(session->standing());
    }
  }
  const auto chosen = chooseConnectionToEvict(standings, Clock::now(), onlyPeer);
  if (!chosen) {
    return false;
  }
  if (const auto session = entries[*chosen]->lock()) {
    session->evict();
  }
  sessions_.erase(entries[*chosen]);
  return true;
}

void HttpServer::stop() {
  if (stopped_) {
    return;
  }
  stopped_ = true;
  if (thread_.joinable()) {
    asio::post(io_, [this] {
      beast::error_code ignored;
      acceptor_.close(ignored);
      io_.stop();
    });
    thread_.join();
  } else {
    beast::error_code ignored;
    acceptor_.close(ignored);
  }
}

}  // namespace tvsk
