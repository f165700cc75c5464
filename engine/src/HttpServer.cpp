#include "HttpServer.h"

#include <array>
#include <cstdio>
#include <optional>
#include <utility>

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

namespace tvsk {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

constexpr const char* kServerName = "TaviskEngine";
// After a refused request, what the client still sends is read and dropped for this long, so it
// sees the answer instead of a reset connection.
constexpr std::chrono::milliseconds kDrainTime{1000};
constexpr std::chrono::milliseconds kAcceptRetryDelay{100};

bool isDisconnect(const beast::error_code& ec) {
  return ec == http::error::end_of_stream || ec == asio::error::eof || ec == asio::error::connection_reset ||
         ec == asio::error::broken_pipe || ec == beast::error::timeout || ec == asio::error::operation_aborted ||
         ec == http::error::partial_message;
}

}  // namespace

class HttpServer::Session : public std::enable_shared_from_this<HttpServer::Session> {
 public:
  Session(tcp::socket socket, const ApiRouter& router, const Offload& offload, const HttpServerOptions& options,
          std::shared_ptr<std::atomic<std::size_t>> openConnections)
      : stream_(std::move(socket)),
        processingTimer_(stream_.get_executor()),
        router_(router),
        offload_(offload),
        options_(options),
        openConnections_(std::move(openConnections)) {}

  ~Session() { openConnections_->fetch_sub(1); }

  void start() { readHeader(); }

 private:
  void readHeader() {
    parser_.emplace();
    parser_->header_limit(static_cast<std::uint32_t>(options_.headerLimit));
    parser_->body_limit(options_.bodyLimit);
    // The whole request (headers and body) must arrive within one read timeout.
    stream_.expires_after(options_.readTimeout);
    http::async_read_header(stream_, buffer_, *parser_,
                            [self = shared_from_this()](beast::error_code ec, std::size_t) { self->onHeader(ec); });
  }

  void onHeader(beast::error_code ec) {
    if (ec) {
      onReadError(ec);
      return;
    }
    const auto& request = parser_->get();
    if (beast::iequals(request[http::field::expect], "100-continue")) {
      auto interim = std::make_shared<http::response<http::empty_body>>(http::status::continue_, request.version());
      stream_.expires_after(options_.writeTimeout);
      http::async_write(stream_, *interim, [self = shared_from_this(), interim](beast::error_code writeEc, std::size_t) {
        if (writeEc) {
          self->stream_.close();
          return;
        }
        self->stream_.expires_after(self->options_.readTimeout);
        self->readBody();
      });
      return;
    }
    readBody();
  }

  void readBody() {
    if (parser_->is_done()) {
      onRequest();
      return;
    }
    http::async_read(stream_, buffer_, *parser_, [self = shared_from_this()](beast::error_code ec, std::size_t) {
      if (ec) {
        self->onReadError(ec);
        return;
      }
      self->onRequest();
    });
  }

  void onReadError(const beast::error_code& ec) {
    if (ec == http::error::header_limit) {
      respond(ApiRouter::errorResponse(431, "Request header fields too large"), true);
    } else if (ec == http::error::body_limit) {
      respond(ApiRouter::errorResponse(413, "Request body too large"), true);
    } else if (isDisconnect(ec)) {
      stream_.close();
    } else {
      respond(ApiRouter::errorResponse(400, "Malformed request"), true);
    }
  }

  void onRequest() {
    auto& message = parser_->get();
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
      std::fprintf(stderr, "TVSK HTTP: request failed: %s\n", error.what());
      respond(ApiRouter::errorResponse(500, "Internal error"), true);
      return;
    }
    if (outcome.deferred) {
      runDeferred(std::move(outcome.deferred));
      return;
    }
    respond(outcome.response, false);
  }

  void runDeferred(std::function<ApiResponse()> work) {
    deferredPending_ = true;
    processingTimer_.expires_after(options_.processingTimeout);
    processingTimer_.async_wait([self = shared_from_this()](beast::error_code ec) {
      if (ec || !self->deferredPending_) {
        return;
      }
      self->deferredPending_ = false;
      self->respond(ApiRouter::errorResponse(504, "The device did not answer in time"), true);
    });
    auto executor = stream_.get_executor();
    offload_([self = shared_from_this(), executor, work = std::move(work)]() {
      ApiResponse response;
      try {
        response = work();
      } catch (const std::exception& error) {
        response = ApiRouter::errorResponse(500, std::string("Internal error: ") + error.what());
      }
      asio::post(executor, [self, response = std::move(response)]() {
        if (!self->deferredPending_) {
          return;
        }
        self->deferredPending_ = false;
        self->processingTimer_.cancel();
        self->respond(response, false);
      });
    });
  }

  void respond(const ApiResponse& answer, bool close) {
    if (close) {
      keepAlive_ = false;
    }
    auto response = std::make_shared<http::response<http::string_body>>(static_cast<http::status>(answer.status),
                                                                         version_ == 0 ? 11 : version_);
    response->set(http::field::server, kServerName);
    response->set(http::field::content_type, answer.contentType);
    for (const auto& [name, value] : answer.headers) {
      response->set(name, value);
    }
    response->keep_alive(keepAlive_);
    if (headRequest_) {
      response->content_length(answer.body.size());
    } else {
      response->body() = answer.body;
      response->prepare_payload();
    }
    stream_.expires_after(options_.writeTimeout);
    http::async_write(stream_, *response,
                      [self = shared_from_this(), response](beast::error_code ec, std::size_t) {
                        if (ec) {
                          self->stream_.close();
                        } else if (self->keepAlive_) {
                          self->readHeader();
                        } else {
                          self->closeGracefully();
                        }
                      });
  }

  void closeGracefully() {
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
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  asio::steady_timer processingTimer_;
  std::array<char, 4096> drainBuffer_{};
  const ApiRouter& router_;
  const Offload& offload_;
  const HttpServerOptions& options_;
  std::shared_ptr<std::atomic<std::size_t>> openConnections_;
  bool keepAlive_ = false;
  bool headRequest_ = false;
  bool deferredPending_ = false;
  unsigned version_ = 11;
};

HttpServer::HttpServer(const ApiRouter& router, Offload offload, HttpServerOptions options)
    : router_(router),
      offload_(std::move(offload)),
      options_(std::move(options)),
      acceptor_(io_),
      openConnections_(std::make_shared<std::atomic<std::size_t>>(0)) {}

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
  thread_ = std::thread([this] { io_.run(); });
  return true;
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
    if (openConnections_->load() >= options_.maxConnections) {
      beast::error_code ignored;
      socket.close(ignored);
    } else {
      openConnections_->fetch_add(1);
      std::make_shared<Session>(std::move(socket), router_, offload_, options_, openConnections_)->start();
    }
    accept();
  });
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
