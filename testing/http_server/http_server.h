#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

// A scripted HTTP server for tests: listens on 127.0.0.1 at an ephemeral port (unless told another
// loopback address or a fixed port), serves on its own thread, records every request as received
// and answers each path with a scripted reply.
// One request per connection; every reply ends the connection (except a stall, which the server
// keeps open until stop()).
//
//   testing_support::HttpServer server;                  // listening on return
//   server.setReply("/get", ScriptedReply::json(R"({"a":1})"));
//   ... client POSTs to "127.0.0.1:" + server.port() + "/get" ...
//   server.waitForRequests(1, 2s);
//   server.requests()[0].body
//
// Paths without a reply get 404 with a small HTML body. All public members are thread-safe.
namespace testing_support {

struct RecordedRequest {
  std::string requestLine;  // "POST /get HTTP/1.1" (no line end)
  std::string method;
  std::string target;                                        // as sent, with any query
  std::string path;                                          // target without the query
  std::vector<std::pair<std::string, std::string>> headers;  // in order, values trimmed
  std::string rawHead;  // request line and header lines exactly as received, up to CRLFCRLF
  std::string body;     // Content-Length bytes (fewer when the client closed early)

  // Value of the first header with this name (case-insensitive), or nullopt.
  [[nodiscard]] std::optional<std::string> header(const std::string& name) const;
};

struct ScriptedReply {
  enum class Kind {
    Response,       // status line, headers, Content-Length (unless given), body; then close
    Raw,            // bytes verbatim, then close (e.g. a Content-Length larger than the body)
    Reset,          // bytes verbatim, then a connection reset (SO_LINGER 0)
    Stall,          // read the request, send nothing; the connection stays open until stop()
    EndlessHeader,  // status line then header lines forever, never CRLFCRLF
    Oversized,      // 200 with a declared Content-Length of bodySize bytes of 'x', streamed
    Trickle,        // bytes verbatim, one every interval, then close
    EndlessBody,    // 200 without Content-Length, then 'x' forever
  };

  Kind kind = Kind::Response;
  int status = 200;
  std::string reason;  // empty: the usual phrase for status
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;                       // Response: the body; Raw/Reset: the bytes sent
  size_t bodySize = 0;                    // Oversized only
  std::chrono::milliseconds delay{0};     // wait before answering (after the request was read)
  std::chrono::milliseconds interval{0};  // Trickle only

  static ScriptedReply json(std::string body, int status = 200);
  static ScriptedReply text(int status, std::string body, std::string contentType = "text/plain");
  static ScriptedReply html(int status, std::string body);
  // Status line and headers only, no body and no Content-Length; then close.
  static ScriptedReply headersOnly(int status, std::vector<std::pair<std::string, std::string>> headers = {});
  static ScriptedReply raw(std::string bytes);
  static ScriptedReply reset(std::string bytesBefore);
  static ScriptedReply stall();
  static ScriptedReply endlessHeader();
  static ScriptedReply oversized(size_t bodySize);
  static ScriptedReply trickle(std::string bytes, std::chrono::milliseconds interval);
  static ScriptedReply endlessBody();

  ScriptedReply&& after(std::chrono::milliseconds wait) && {
    delay = wait;
    return std::move(*this);
  }
};

class HttpServer {
 public:
  // Largest request head read; a longer one closes the connection unanswered.
  static constexpr size_t kMaxRequestHead = 1 << 20;

  // Listening on address:port (0: ephemeral) on return; throws boost::system::system_error when it cannot.
  explicit HttpServer(const std::string& address = "127.0.0.1", uint16_t port = 0);
  ~HttpServer();  // stop()
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  [[nodiscard]] uint16_t port() const { return port_; }
  // "<address>:<port>"
  [[nodiscard]] std::string address() const;

  // The reply for one path (query ignored); replaces an earlier one.
  void setReply(const std::string& path, ScriptedReply reply);
  // Computes replies for paths without a scripted one (instead of 404).
  void setHandler(std::function<ScriptedReply(const RecordedRequest&)> handler);

  [[nodiscard]] std::vector<RecordedRequest> requests() const;
  [[nodiscard]] size_t requestCount() const;
  void clearRequests();
  // True once at least count requests have been recorded; false after timeout.
  bool waitForRequests(size_t count, std::chrono::milliseconds timeout) const;
  // Connections accepted so far (also those that sent no complete request).
  [[nodiscard]] size_t connectionCount() const;

  // Closes the listener and every connection and joins the thread. Idempotent.
  void stop();

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
  std::string address_;
  uint16_t port_ = 0;
};

}  // namespace testing_support
