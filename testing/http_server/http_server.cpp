#include "testing/http_server/http_server.h"

#include <boost/asio.hpp>

#include <algorithm>
#include <cctype>
#include <set>
#include <sstream>

namespace testing_support {
namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

constexpr size_t kStreamChunk = 65536;
constexpr const char* kHeaderEnd = "\r\n\r\n";

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

std::string trim(const std::string& text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  const auto last = text.find_last_not_of(" \t\r");
  return text.substr(first, last - first + 1);
}

const char* reasonPhrase(int status) {
  switch (status) {
    case 100: return "Continue";
    case 200: return "OK";
    case 201: return "Created";
    case 204: return "No Content";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "Status";
  }
}

bool hasHeader(const std::vector<std::pair<std::string, std::string>>& headers, const std::string& name) {
  const auto wanted = lower(name);
  return std::any_of(headers.begin(), headers.end(), [&](const auto& h) { return lower(h.first) == wanted; });
}

std::string statusAndHeaders(const ScriptedReply& reply) {
  std::ostringstream out;
  out << "HTTP/1.1 " << reply.status << ' ' << (reply.reason.empty() ? reasonPhrase(reply.status) : reply.reason)
      << "\r\n";
  for (const auto& [name, value] : reply.headers) out << name << ": " << value << "\r\n";
  return out.str();
}

// Parses the head (request line and headers, without the final CRLFCRLF).
void parseHead(const std::string& head, RecordedRequest& request) {
  request.rawHead = head;
  std::istringstream in(head);
  std::string line;
  bool first = true;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (first) {
      request.requestLine = line;
      std::istringstream words(line);
      words >> request.method >> request.target;
      request.path = request.target.substr(0, request.target.find('?'));
      first = false;
      continue;
    }
    const auto colon = line.find(':');
    if (colon == std::string::npos) continue;
    request.headers.emplace_back(line.substr(0, colon), trim(line.substr(colon + 1)));
  }
}

}  // namespace

std::optional<std::string> RecordedRequest::header(const std::string& name) const {
  const auto wanted = lower(name);
  for (const auto& [key, value] : headers) {
    if (lower(key) == wanted) return value;
  }
  return std::nullopt;
}

ScriptedReply ScriptedReply::json(std::string body, int status) {
  return text(status, std::move(body), "application/json");
}

ScriptedReply ScriptedReply::text(int status, std::string body, std::string contentType) {
  ScriptedReply reply;
  reply.status = status;
  reply.headers.emplace_back("Content-Type", std::move(contentType));
  reply.body = std::move(body);
  return reply;
}

ScriptedReply ScriptedReply::html(int status, std::string body) { return text(status, std::move(body), "text/html"); }

ScriptedReply ScriptedReply::headersOnly(int status, std::vector<std::pair<std::string, std::string>> headers) {
  ScriptedReply reply;
  reply.kind = Kind::Raw;
  reply.status = status;
  reply.headers = std::move(headers);
  reply.body = statusAndHeaders(reply) + "\r\n";
  return reply;
}

ScriptedReply ScriptedReply::raw(std::string bytes) {
  ScriptedReply reply;
  reply.kind = Kind::Raw;
  reply.body = std::move(bytes);
  return reply;
}

ScriptedReply ScriptedReply::reset(std::string bytesBefore) {
  ScriptedReply reply;
  reply.kind = Kind::Reset;
  reply.body = std::move(bytesBefore);
  return reply;
}

ScriptedReply ScriptedReply::stall() {
  ScriptedReply reply;
  reply.kind = Kind::Stall;
  return reply;
}

ScriptedReply ScriptedReply::endlessHeader() {
  ScriptedReply reply;
  reply.kind = Kind::EndlessHeader;
  return reply;
}

ScriptedReply ScriptedReply::oversized(size_t bodySize) {
  ScriptedReply reply;
  reply.kind = Kind::Oversized;
  reply.bodySize = bodySize;
  return reply;
}

ScriptedReply ScriptedReply::trickle(std::string bytes, std::chrono::milliseconds interval) {
  ScriptedReply reply;
  reply.kind = Kind::Trickle;
  reply.body = std::move(bytes);
  reply.interval = interval;
  return reply;
}

ScriptedReply ScriptedReply::endlessBody() {
  ScriptedReply reply;
  reply.kind = Kind::EndlessBody;
  return reply;
}

class HttpServer::Impl {
 public:
  Impl(const std::string& address, uint16_t port)
      : acceptor_(io_, tcp::endpoint(asio::ip::make_address(address), port)) {}

  class Session;

  void start() {
    accept();
    thread_ = std::thread([this] { io_.run(); });
  }

  void stop();

  void accept();
  void record(RecordedRequest request) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      requests_.push_back(std::move(request));
    }
    changed_.notify_all();
  }
  ScriptedReply replyFor(const RecordedRequest& request) {
    std::function<ScriptedReply(const RecordedRequest&)> handler;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      const auto found = replies_.find(request.path);
      if (found != replies_.end()) return found->second;
      handler = handler_;
    }
    // Called unlocked: a handler may use the server's accessors.
    if (handler) return handler(request);
    return ScriptedReply::html(404,
                               "<html><head><title>404 Not Found</title></head><body><h1>Not Found</h1></body></html>");
  }

  asio::io_context io_;
  tcp::acceptor acceptor_;
  std::thread thread_;
  std::mutex stopMutex_;
  std::set<std::shared_ptr<Session>> sessions_;  // io thread only (and stop() after the join)

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<RecordedRequest> requests_;
  std::map<std::string, ScriptedReply> replies_;
  std::function<ScriptedReply(const RecordedRequest&)> handler_;
  size_t connections_ = 0;
};

class HttpServer::Impl::Session : public std::enable_shared_from_this<Session> {
 public:
  Session(Impl& server, tcp::socket socket)
      : server_(server), socket_(std::move(socket)), timer_(server.io_), buffer_(kMaxRequestHead) {}

  void start() { readHead(); }
  // Also for a session that still has a wait pending (its handler keeps it alive).
  void close() {
    boost::system::error_code ignored;
    socket_.close(ignored);
  }

 private:
  void finish() {
    boost::system::error_code ignored;
    socket_.shutdown(tcp::socket::shutdown_send, ignored);
    socket_.close(ignored);
    server_.sessions_.erase(shared_from_this());
  }

  void readHead() {
    auto self = shared_from_this();
    asio::async_read_until(socket_, buffer_, kHeaderEnd, [this, self](boost::system::error_code error, size_t size) {
      if (error) return finish();  // closed early, or a head over the limit
      std::string head(asio::buffers_begin(buffer_.data()), asio::buffers_begin(buffer_.data()) + size - 4);
      buffer_.consume(size);
      parseHead(head, request_);
      size_t length = 0;
      if (const auto value = request_.header("Content-Length")) length = std::strtoull(value->c_str(), nullptr, 10);
      if (const auto expect = request_.header("Expect"); expect && lower(*expect) == "100-continue") {
        auto interim = std::make_shared<std::string>("HTTP/1.1 100 Continue\r\n\r\n");
        asio::async_write(socket_, asio::buffer(*interim),
                          [this, self, interim, length](auto, size_t) { readBody(length); });
        return;
      }
      readBody(length);
    });
  }

  void readBody(size_t length) {
    const size_t have = std::min(buffer_.size(), length);
    request_.body.assign(asio::buffers_begin(buffer_.data()), asio::buffers_begin(buffer_.data()) + have);
    buffer_.consume(have);
    if (have == length) return answer();
    auto self = shared_from_this();
    auto rest = std::make_shared<std::string>(length - have, '\0');
    asio::async_read(socket_, asio::buffer(*rest), [this, self, rest](boost::system::error_code, size_t got) {
      request_.body.append(rest->data(), got);
      answer();
    });
  }

  void answer() {
    reply_ = server_.replyFor(request_);
    server_.record(request_);
    if (reply_.delay.count() <= 0) return send();
    auto self = shared_from_this();
    timer_.expires_after(reply_.delay);
    timer_.async_wait([this, self](boost::system::error_code) { send(); });
  }

  void send() {
    auto self = shared_from_this();
    switch (reply_.kind) {
      case ScriptedReply::Kind::Response: {
        std::string text = statusAndHeaders(reply_);
        if (!hasHeader(reply_.headers, "Content-Length"))
          text += "Content-Length: " + std::to_string(reply_.body.size()) + "\r\n";
        text += "Connection: close\r\n\r\n" + reply_.body;
        return writeThenFinish(std::move(text));
      }
      case ScriptedReply::Kind::Raw: return writeThenFinish(reply_.body);
      case ScriptedReply::Kind::Reset: {
        out_ = reply_.body;
        asio::async_write(socket_, asio::buffer(out_), [this, self](boost::system::error_code, size_t) {
          boost::system::error_code ignored;
          socket_.set_option(asio::socket_base::linger(true, 0), ignored);
          socket_.close(ignored);
          server_.sessions_.erase(self);
        });
        return;
      }
      case ScriptedReply::Kind::Stall: return;  // kept in the session set until stop()
      case ScriptedReply::Kind::EndlessHeader:
        out_ = "HTTP/1.1 200 OK\r\n";
        return writeForever(std::string("X-Filler: ") + std::string(1000, 'y') + "\r\n");
      case ScriptedReply::Kind::Oversized: {
        out_ =
            "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(reply_.bodySize) +
            "\r\nConnection: close\r\n\r\n";
        remaining_ = reply_.bodySize;
        asio::async_write(socket_, asio::buffer(out_), [this, self](boost::system::error_code error, size_t) {
          if (error) return finish();
          streamBody();
        });
        return;
      }
      case ScriptedReply::Kind::Trickle: return trickle(0);
      case ScriptedReply::Kind::EndlessBody:
        out_ = "HTTP/1.0 200 OK\r\nContent-Type: application/json\r\n\r\n";
        return writeForever(std::string(kStreamChunk, 'x'));
    }
  }

  void trickle(size_t sent) {
    if (sent == reply_.body.size()) return finish();
    out_.assign(1, reply_.body[sent]);
    auto self = shared_from_this();
    asio::async_write(socket_, asio::buffer(out_), [this, self, sent](boost::system::error_code error, size_t) {
      if (error) return finish();
      timer_.expires_after(reply_.interval);
      timer_.async_wait([this, self, sent](boost::system::error_code) { trickle(sent + 1); });
    });
  }

  void writeThenFinish(std::string text) {
    out_ = std::move(text);
    auto self = shared_from_this();
    asio::async_write(socket_, asio::buffer(out_), [this, self](boost::system::error_code, size_t) { finish(); });
  }

  // Until the client gives up (write error) or the server stops.
  void writeForever(std::string line) {
    auto self = shared_from_this();
    asio::async_write(socket_, asio::buffer(out_), [this, self, line](boost::system::error_code error, size_t) {
      if (error) return finish();
      out_ = line;
      writeForever(line);
    });
  }

  void streamBody() {
    if (remaining_ == 0) return finish();
    const size_t chunk = std::min(remaining_, kStreamChunk);
    remaining_ -= chunk;
    out_.assign(chunk, 'x');
    auto self = shared_from_this();
    asio::async_write(socket_, asio::buffer(out_), [this, self](boost::system::error_code error, size_t) {
      if (error) return finish();
      streamBody();
    });
  }

  Impl& server_;
  tcp::socket socket_;
  asio::steady_timer timer_;
  asio::streambuf buffer_;
  RecordedRequest request_;
  ScriptedReply reply_;
  std::string out_;
  size_t remaining_ = 0;
};

void HttpServer::Impl::stop() {
  std::lock_guard<std::mutex> stopLock(stopMutex_);
  if (!thread_.joinable()) return;
  io_.stop();
  thread_.join();
  // The io thread is gone: sockets can be closed here.
  for (const auto& session : sessions_) session->close();
  sessions_.clear();
  boost::system::error_code ignored;
  acceptor_.close(ignored);
}

void HttpServer::Impl::accept() {
  acceptor_.async_accept([this](boost::system::error_code error, tcp::socket socket) {
    if (error) return;  // closed by stop()
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++connections_;
    }
    auto session = std::make_shared<Session>(*this, std::move(socket));
    sessions_.insert(session);
    session->start();
    accept();
  });
}

HttpServer::HttpServer(const std::string& address, uint16_t port)
    : impl_(std::make_unique<Impl>(address, port)), address_(address) {
  port_ = impl_->acceptor_.local_endpoint().port();
  impl_->start();
}

HttpServer::~HttpServer() { stop(); }

std::string HttpServer::address() const { return address_ + ":" + std::to_string(port_); }

void HttpServer::setReply(const std::string& path, ScriptedReply reply) {
  std::lock_guard<std::mutex> lock(impl_->mutex_);
  impl_->replies_[path] = std::move(reply);
}

void HttpServer::setHandler(std::function<ScriptedReply(const RecordedRequest&)> handler) {
  std::lock_guard<std::mutex> lock(impl_->mutex_);
  impl_->handler_ = std::move(handler);
}

std::vector<RecordedRequest> HttpServer::requests() const {
  std::lock_guard<std::mutex> lock(impl_->mutex_);
  return impl_->requests_;
}

size_t HttpServer::requestCount() const {
  std::lock_guard<std::mutex> lock(impl_->mutex_);
  return impl_->requests_.size();
}

void HttpServer::clearRequests() {
  std::lock_guard<std::mutex> lock(impl_->mutex_);
  impl_->requests_.clear();
}

bool HttpServer::waitForRequests(size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(impl_->mutex_);
  return impl_->changed_.wait_for(lock, timeout, [&] { return impl_->requests_.size() >= count; });
}

size_t HttpServer::connectionCount() const {
  std::lock_guard<std::mutex> lock(impl_->mutex_);
  return impl_->connections_;
}

void HttpServer::stop() { impl_->stop(); }

}  // namespace testing_support
