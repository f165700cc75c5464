#include "agent/src/CatalogueHttp.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/write.hpp>

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <cstdlib>
#include <ostream>
#include <sstream>

#include "log/console_log.h"

namespace lmr {
namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

// The maker's web site; tests and mirrors point elsewhere with LUMORA_CATALOGUE_HOST.
constexpr const char* kDefaultCatalogueHost = "www.brixel-technologies.com";
constexpr const char* kDefaultPort = "80";
constexpr std::size_t kReadChunk = 64 * 1024;
constexpr int kHttpStatusMin = 200;
constexpr int kHttpStatusMax = 299;
// How often a waiting transfer looks at its cancel flag.
constexpr std::chrono::milliseconds kCancelPollInterval{50};

std::atomic<long long> connectTimeoutMs{HttpTimeouts{}.connect.count()};
std::atomic<long long> idleTimeoutMs{HttpTimeouts{}.idle.count()};

bool equalsIgnoringCase(const std::string& a, const char* b) {
  const std::string other(b);
  return a.size() == other.size() &&
         std::equal(a.begin(), a.end(), other.begin(), [](unsigned char x, unsigned char y) {
           return std::tolower(x) == std::tolower(y);
         });
}

std::string trimmed(const std::string& text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string::npos) {
    return {};
  }
  const auto last = text.find_last_not_of(" \t\r");
  return text.substr(first, last - first + 1);
}

// Name and port of "name[:port]"; the port must be all digits.
bool splitHostPort(const std::string& host, std::string& name, std::string& port) {
  const auto colon = host.rfind(':');
  if (colon == std::string::npos) {
    name = host;
    port = kDefaultPort;
  } else {
    name = host.substr(0, colon);
    port = host.substr(colon + 1);
    if (port.empty() || port.size() > 5 ||
        !std::all_of(port.begin(), port.end(), [](unsigned char c) { return std::isdigit(c) != 0; })) {
      return false;
    }
  }
  return !name.empty();
}

struct ResponseHead {
  int status = 0;
  std::optional<std::size_t> contentLength;
};

// Status line and headers of a header block that ends with the blank line.
std::optional<ResponseHead> parseHead(const std::string& block) {
  std::istringstream lines(block);
  std::string line;
  if (!std::getline(lines, line)) {
    return std::nullopt;
  }
  std::istringstream statusLine(line);
  std::string version;
  ResponseHead head;
  if (!(statusLine >> version >> head.status) || version.compare(0, 5, "HTTP/") != 0) {
    return std::nullopt;
  }
  while (std::getline(lines, line) && line != "\r" && !line.empty()) {
    const auto colon = line.find(':');
    if (colon == std::string::npos || !equalsIgnoringCase(trimmed(line.substr(0, colon)), "Content-Length")) {
      continue;
    }
    const std::string value = trimmed(line.substr(colon + 1));
    char* end = nullptr;
    const unsigned long long length = std::strtoull(value.c_str(), &end, 10);
    if (value.empty() || *end != '\0' || !std::isdigit(static_cast<unsigned char>(value[0]))) {
      return std::nullopt;
    }
    if (head.contentLength && *head.contentLength != length) {
      return std::nullopt;  // two different lengths: no way to tell a complete body
    }
    head.contentLength = static_cast<std::size_t>(length);
  }
  return head;
}

// One transfer: every asynchronous step runs on a private io_context for a bounded time; a
// step that does not finish in time closes the socket.
class Transfer {
 public:
  explicit Transfer(const std::atomic<bool>* cancel) : resolver_(io_), socket_(io_), cancel_(cancel) {}

  // Runs the pending operation; false when it did not complete within limit or was cancelled.
  bool runFor(std::chrono::milliseconds limit, const bool& finished) {
    const auto deadline = Clock::now() + limit;
    while (!finished && Clock::now() < deadline && !cancelled()) {
      io_.restart();
      io_.run_for(std::min<Clock::duration>(kCancelPollInterval, deadline - Clock::now()));
    }
    if (finished) {
      return true;
    }
    boost::system::error_code ignored;
    resolver_.cancel();
    socket_.close(ignored);
    io_.restart();
    io_.run();  // lets the aborted handlers finish before their captures go
    return false;
  }

  [[nodiscard]] bool cancelled() const { return cancel_ != nullptr && cancel_->load(); }

  asio::io_context io_;
  tcp::resolver resolver_;
  tcp::socket socket_;

 private:
  const std::atomic<bool>* cancel_;
};

bool failWith(const std::string& host, const std::string& path, const char* why) {
  writeLog(4, LOG_FILE, __LINE__, "HTTP GET %s%s failed: %s\n", host.c_str(), path.c_str(), why);
  return false;
}

}  // namespace

void setHttpTimeouts(const HttpTimeouts& timeouts) {
  connectTimeoutMs = timeouts.connect.count();
  idleTimeoutMs = timeouts.idle.count();
}

HttpTimeouts httpTimeouts() {
  return HttpTimeouts{std::chrono::milliseconds(connectTimeoutMs.load()),
                      std::chrono::milliseconds(idleTimeoutMs.load())};
}

bool httpGet(const std::string& host, const std::string& path, std::ostream& out, std::size_t maxBody,
             const std::atomic<bool>* cancel) {
  try {
    const HttpTimeouts timeouts = httpTimeouts();
    std::string name;
    std::string port;
    if (!splitHostPort(host, name, port)) {
      return failWith(host, path, "bad host");
    }
    Transfer transfer(cancel);
    boost::system::error_code error;
    bool finished = false;
    const auto connectDeadline = Clock::now() + timeouts.connect;
    auto remaining = [&connectDeadline] {
      return std::max(std::chrono::milliseconds(0),
                      std::chrono::duration_cast<std::chrono::milliseconds>(connectDeadline - Clock::now()));
    };

    tcp::resolver::results_type endpoints;
    transfer.resolver_.async_resolve(name, port, [&](const boost::system::error_code& e, tcp::resolver::results_type r) {
      error = e;
      endpoints = std::move(r);
      finished = true;
    });
    if (!transfer.runFor(remaining(), finished)) {
      return failWith(host, path, "resolve timed out");
    }
    if (error) {
      return failWith(host, path, error.message().c_str());
    }

    finished = false;
    asio::async_connect(transfer.socket_, endpoints, [&](const boost::system::error_code& e, const tcp::endpoint&) {
      error = e;
      finished = true;
    });
    if (!transfer.runFor(remaining(), finished)) {
      return failWith(host, path, "connect timed out");
    }
    if (error) {
      return failWith(host, path, error.message().c_str());
    }

    const std::string request = "GET " + path + " HTTP/1.0\r\nHost: " + host +
                                "\r\nAccept: */*\r\nConnection: close\r\n\r\n";
    finished = false;
    asio::async_write(transfer.socket_, asio::buffer(request), [&](const boost::system::error_code& e, std::size_t) {
      error = e;
      finished = true;
    });
    if (!transfer.runFor(timeouts.idle, finished) || error) {
      return failWith(host, path, "request not sent");
    }

    asio::streambuf headBuffer(kMaxHeaderBytes);
    std::size_t headLength = 0;
    finished = false;
    asio::async_read_until(transfer.socket_, headBuffer, "\r\n\r\n",
                           [&](const boost::system::error_code& e, std::size_t length) {
                             error = e;
                             headLength = length;
                             finished = true;
                           });
    if (!transfer.runFor(timeouts.idle, finished)) {
      return failWith(host, path, "no header within the timeout");
    }
    if (error) {
      return failWith(host, path, error == asio::error::not_found ? "header block too long" : error.message().c_str());
    }
    const auto* data = static_cast<const char*>(headBuffer.data().data());
    const std::string headBlock(data, headLength);
    std::string body(data + headLength, headBuffer.size() - headLength);

    const std::optional<ResponseHead> head = parseHead(headBlock);
    if (!head) {
      return failWith(host, path, "malformed response header");
    }
    if (head->status < kHttpStatusMin || head->status > kHttpStatusMax) {
      return failWith(host, path, ("status " + std::to_string(head->status)).c_str());
    }
    if (head->contentLength && *head->contentLength > maxBody) {
      return failWith(host, path, "announced body too large");
    }
    const std::size_t expected = head->contentLength.value_or(maxBody + 1);

    std::size_t total = 0;
    auto take = [&](const char* bytes, std::size_t count) {
      count = std::min(count, expected - total);  // bytes past Content-Length are not the file's
      out.write(bytes, static_cast<std::streamsize>(count));
      total += count;
    };
    take(body.data(), body.size());
    body.clear();

    std::array<char, kReadChunk> chunk{};
    bool endOfStream = false;
    while (total < expected && total <= maxBody && out) {
      std::size_t received = 0;
      finished = false;
      transfer.socket_.async_read_some(asio::buffer(chunk), [&](const boost::system::error_code& e, std::size_t n) {
        error = e;
        received = n;
        finished = true;
      });
      if (!transfer.runFor(timeouts.idle, finished)) {
        return failWith(host, path, "body stalled");
      }
      take(chunk.data(), received);
      if (error == asio::error::eof) {
        endOfStream = true;
        break;
      }
      if (error) {
        return failWith(host, path, error.message().c_str());
      }
    }
    out.flush();
    if (!out) {
      return failWith(host, path, "could not store the body");
    }
    if (total > maxBody) {
      return failWith(host, path, "body too large");
    }
    if (head->contentLength ? total != *head->contentLength : !endOfStream) {
      return failWith(host, path, "body cut short");
    }
    if (total == 0) {
      return failWith(host, path, "empty body");
    }
    return true;
  } catch (const std::exception& exception) {
    return failWith(host, path, exception.what());
  }
}

std::optional<HostAndPath> splitAddress(const std::string& address) {
  const auto slash = address.find('/');
  if (slash == std::string::npos || slash == 0) {
    return std::nullopt;
  }
  return HostAndPath{address.substr(0, slash), address.substr(slash)};
}

std::string catalogueHost() {
  const char* overridden = std::getenv("LUMORA_CATALOGUE_HOST");
  if (overridden != nullptr && *overridden != '\0') {
    return overridden;
  }
  return kDefaultCatalogueHost;
}

}  // namespace lmr
