#include "agent/src/CatalogueHttp.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/write.hpp>

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <ostream>
#include <sstream>
#include <system_error>
#include <thread>
#include <vector>

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
constexpr int kMaxPort = 65535;
constexpr int kHttpStatusMin = 200;
constexpr int kHttpStatusMax = 299;
// How often a waiting transfer looks at its cancel flag.
constexpr std::chrono::milliseconds kCancelPollInterval{50};
// Name lookups that may run at once, abandoned ones included.
constexpr int kMaxLookupsRunning = 8;

std::atomic<long long> connectTimeoutMs{HttpTimeouts{}.connect.count()};
std::atomic<long long> idleTimeoutMs{HttpTimeouts{}.idle.count()};
std::atomic<long long> windowTimeoutMs{HttpTimeouts{}.window.count()};

bool equalsIgnoringCase(const std::string& a, const char* b) {
  const std::string other(b);
  return a.size() == other.size() &&
         std::equal(a.begin(), a.end(), other.begin(),
                    [](unsigned char x, unsigned char y) { return std::tolower(x) == std::tolower(y); });
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
        !std::all_of(port.begin(), port.end(), [](unsigned char c) { return std::isdigit(c) != 0; }) ||
        std::stoi(port) > kMaxPort) {
      return false;
    }
  }
  return !name.empty();
}

struct ResponseHead {
  int status = 0;
  std::optional<std::size_t> contentLength;
  bool transferEncoded = false;  // chunked or other framing HTTP/1.0 does not have
};

// Without control characters and blanks: safe to put into a request line or a header.
bool isWireSafe(const std::string& text) {
  return std::none_of(text.begin(), text.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte <= 0x20 || byte == 0x7f;
  });
}

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
    if (colon == std::string::npos) {
      continue;
    }
    const std::string name = trimmed(line.substr(0, colon));
    if (equalsIgnoringCase(name, "Transfer-Encoding")) {
      head.transferEncoded = true;
    }
    if (!equalsIgnoringCase(name, "Content-Length")) {
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

// Lookups still running, those given up on included; past the cap a transfer fails at once
// rather than start yet another thread a dead resolver would keep.
std::atomic<int> lookupsRunning{0};

// The outcome of one name lookup, shared by the transfer and the thread doing it.
struct Lookup {
  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;
  boost::system::error_code error;
  std::vector<tcp::endpoint> endpoints;
};

// Looks name up on a detached thread: a blocking resolver never holds the caller, and a lookup
// nobody waits for any more ends on its own. Null when too many are still running.
std::shared_ptr<Lookup> startLookup(const std::string& name, const std::string& port) {
  if (lookupsRunning.fetch_add(1) >= kMaxLookupsRunning) {
    --lookupsRunning;
    return nullptr;
  }
  auto lookup = std::make_shared<Lookup>();
  try {
    std::thread([lookup, name, port] {
      asio::io_context io;
      tcp::resolver resolver(io);
      boost::system::error_code error;
      const tcp::resolver::results_type results = resolver.resolve(name, port, error);
      {
        std::lock_guard<std::mutex> lock(lookup->mutex);
        lookup->error = error;
        for (const auto& entry : results) {
          lookup->endpoints.push_back(entry.endpoint());
        }
        lookup->finished = true;
      }
      lookup->done.notify_all();
      --lookupsRunning;
    }).detach();
  } catch (const std::system_error&) {
    --lookupsRunning;
    return nullptr;
  }
  return lookup;
}

// One GET, step by step. Every network step runs on a private io_context for a bounded time
// (its own limit, the transfer's deadline, the cancel flag); a step cut short closes the socket.
class Transfer {
 public:
  Transfer(const std::string& host, const std::string& path, std::size_t maxBody, const std::atomic<bool>* cancel,
           HttpDeadline deadline)
      : host_(host),
        path_(path),
        maxBody_(maxBody),
        cancel_(cancel),
        timeouts_(httpTimeouts()),
        deadline_(deadline),
        connectEnd_(std::min(deadline, Clock::now() + timeouts_.connect)),
        socket_(io_),
        headBuffer_(kMaxHeaderBytes) {}

  bool run(std::ostream& out) {
    return checkAddress() && resolve() && connect() && sendRequest() && readHead() && readBody(out);
  }

 private:
  bool fail(const std::string& why) const {
    writeLog(kLogWarning, LOG_FILE, __LINE__, "HTTP GET %s%s failed: %s\n", host_.c_str(), path_.c_str(), why.c_str());
    return false;
  }

  [[nodiscard]] bool cancelled() const { return cancel_ != nullptr && cancel_->load(); }

  // Starts one asynchronous operation through start (given the completion to call) and runs it
  // until it completes or its time is up; false when it did not complete.
  template <typename Start>
  bool step(Clock::time_point end, Start start) {
    bool finished = false;
    start([this, &finished](const boost::system::error_code& error, std::size_t count) {
      error_ = error;
      count_ = count;
      finished = true;
    });
    end = std::min(end, deadline_);
    while (!finished && !cancelled()) {
      const auto now = Clock::now();
      if (now >= end) {
        break;
      }
      io_.restart();
      io_.run_for(std::min<Clock::duration>(kCancelPollInterval, end - now));
    }
    if (finished) {
      return true;
    }
    boost::system::error_code ignored;
    socket_.close(ignored);
    io_.restart();
    io_.run();  // lets the aborted handler finish before its captures go
    return false;
  }

  [[nodiscard]] Clock::time_point idleEnd() const { return Clock::now() + timeouts_.idle; }

  bool checkAddress() {
    if (!splitHostPort(host_, name_, port_)) {
      return fail("bad host");
    }
    if (!isWireSafe(host_) || !isWireSafe(path_) || path_.empty() || path_[0] != '/') {
      return fail("control character or blank in the address");
    }
    return true;
  }

  bool resolve() {
    boost::system::error_code error;
    const auto address = asio::ip::make_address(name_, error);
    if (!error) {
      endpoints_.emplace_back(address, static_cast<unsigned short>(std::stoi(port_)));
      return true;
    }
    const std::shared_ptr<Lookup> lookup = startLookup(name_, port_);
    if (!lookup) {
      return fail("too many name lookups still running");
    }
    std::unique_lock<std::mutex> lock(lookup->mutex);
    while (!lookup->finished && !cancelled()) {
      const auto now = Clock::now();
      if (now >= connectEnd_) {
        break;
      }
      lookup->done.wait_for(lock, std::min<Clock::duration>(kCancelPollInterval, connectEnd_ - now));
    }
    if (!lookup->finished) {
      return fail("name lookup timed out");  // the lookup ends alone; nothing joins it
    }
    if (lookup->error || lookup->endpoints.empty()) {
      return fail(lookup->error ? lookup->error.message() : std::string("no address"));
    }
    endpoints_ = lookup->endpoints;
    return true;
  }

  bool connect() {
    const bool done = step(connectEnd_, [this](auto complete) {
      asio::async_connect(socket_, endpoints_,
                          [complete](const boost::system::error_code& error, const tcp::endpoint&) {
                            complete(error, 0);
                          });
    });
    if (!done) {
      return fail("connect timed out");
    }
    return !error_ || fail(error_.message());
  }

  bool sendRequest() {
    const std::string request =
        "GET " + path_ + " HTTP/1.0\r\nHost: " + host_ + "\r\nAccept: */*\r\nConnection: close\r\n\r\n";
    const bool done = step(idleEnd(), [this, &request](auto complete) {
      asio::async_write(socket_, asio::buffer(request), complete);
    });
    return (done && !error_) || fail("request not sent");
  }

  bool readHead() {
    const bool done =
        step(idleEnd(), [this](auto complete) { asio::async_read_until(socket_, headBuffer_, "\r\n\r\n", complete); });
    if (!done) {
      return fail("no header within the time allowed");
    }
    if (error_) {
      return fail(error_ == asio::error::not_found ? std::string("header block too long") : error_.message());
    }
    const auto* data = static_cast<const char*>(headBuffer_.data().data());
    const std::optional<ResponseHead> head = parseHead(std::string(data, count_));
    headBuffer_.consume(count_);
    if (!head) {
      return fail("malformed response header");
    }
    if (head->transferEncoded) {
      return fail("Transfer-Encoding in a reply to HTTP/1.0");
    }
    if (head->status < kHttpStatusMin || head->status > kHttpStatusMax) {
      return fail("status " + std::to_string(head->status));
    }
    if (head->contentLength && *head->contentLength > maxBody_) {
      return fail("announced body too large");
    }
    contentLength_ = head->contentLength;
    return true;
  }

  bool readBody(std::ostream& out) {
    const std::size_t expected = contentLength_.value_or(maxBody_ + 1);
    std::size_t total = 0;
    auto take = [&](const char* bytes, std::size_t count) {
      count = std::min(count, expected - total);  // bytes past Content-Length are not the file's
      out.write(bytes, static_cast<std::streamsize>(count));
      total += count;
    };
    take(static_cast<const char*>(headBuffer_.data().data()), headBuffer_.size());
    headBuffer_.consume(headBuffer_.size());

    std::array<char, kReadChunk> chunk{};
    bool endOfStream = false;
    while (total < expected && total <= maxBody_ && out) {
      const bool done =
          step(idleEnd(), [this, &chunk](auto complete) { socket_.async_read_some(asio::buffer(chunk), complete); });
      if (!done) {
        return fail("body stalled or too slow");
      }
      take(chunk.data(), count_);
      if (error_ == asio::error::eof) {
        endOfStream = true;
        break;
      }
      if (error_) {
        return fail(error_.message());
      }
    }
    out.flush();
    if (!out) {
      return fail("could not store the body");
    }
    if (total > maxBody_) {
      return fail("body too large");
    }
    if (contentLength_ ? total != *contentLength_ : !endOfStream) {
      return fail("body cut short");
    }
    return total != 0 || fail("empty body");
  }

  const std::string host_;
  const std::string path_;
  const std::size_t maxBody_;
  const std::atomic<bool>* cancel_;
  const HttpTimeouts timeouts_;
  const HttpDeadline deadline_;
  const Clock::time_point connectEnd_;  // name lookup and connection together
  std::string name_;
  std::string port_;
  std::vector<tcp::endpoint> endpoints_;
  asio::io_context io_;
  tcp::socket socket_;
  asio::streambuf headBuffer_;
  std::optional<std::size_t> contentLength_;
  boost::system::error_code error_;  // of the last step
  std::size_t count_ = 0;            // bytes the last step moved
};

}  // namespace

void setHttpTimeouts(const HttpTimeouts& timeouts) {
  connectTimeoutMs = timeouts.connect.count();
  idleTimeoutMs = timeouts.idle.count();
  windowTimeoutMs = timeouts.window.count();
}

HttpTimeouts httpTimeouts() {
  return HttpTimeouts{std::chrono::milliseconds(connectTimeoutMs.load()),
                      std::chrono::milliseconds(idleTimeoutMs.load()),
                      std::chrono::milliseconds(windowTimeoutMs.load())};
}

HttpDeadline windowFetchDeadline() { return Clock::now() + httpTimeouts().window; }

bool httpGet(const std::string& host, const std::string& path, std::ostream& out, std::size_t maxBody,
             const std::atomic<bool>* cancel, HttpDeadline deadline) {
  try {
    return Transfer(host, path, maxBody, cancel, deadline).run(out);
  } catch (const std::exception& exception) {
    writeLog(kLogWarning, LOG_FILE, __LINE__, "HTTP GET %s%s failed: %s\n", host.c_str(), path.c_str(),
             exception.what());
    return false;
  }
}

std::optional<HostAndPath> splitAddress(const std::string& address) {
  const auto slash = address.find('/');
  if (slash == std::string::npos || slash == 0 || !isWireSafe(address)) {
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
