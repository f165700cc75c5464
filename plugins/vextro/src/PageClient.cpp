#include "plugins/vextro/src/PageClient.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <locale>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <system_error>

#include <boost/asio/error.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/system/system_error.hpp>

#include "plugins/vextro/src/PluginLog.h"

namespace Vextro {
namespace asio = boost::asio;
using boost::asio::ip::tcp;
using Clock = std::chrono::steady_clock;

namespace {

bool HoldsLineBreakOrNul(const std::string& text) {
  return text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
}

// Header-injection guard: a value with a line break would become a second header line.
void RefuseUnsafeParameters(const ParameterMap& parameters) {
  for (const auto& [name, value] : parameters) {
    if (HoldsLineBreakOrNul(name) || (!NeedsUrlEncoding(name) && HoldsLineBreakOrNul(value))) {
      throw std::invalid_argument("refused to send parameter '" + UrlEncode(name) + "': it holds a line break or NUL");
    }
  }
}

// One request's socket with every wait bounded by a deadline. Plain non-blocking socket calls:
// a device is read once per page and period, and an I/O context per request cost more than the
// request itself. Failures carry the system error texts the operations have always had.
class BoundedExchange {
 public:
  explicit BoundedExchange(const PageTimeouts& timeouts)
      : timeouts_(timeouts), deadline_(Clock::now() + timeouts.request) {}
  ~BoundedExchange() {
    if (fd_ >= 0) {
      ::close(fd_);
    }
  }
  BoundedExchange(const BoundedExchange&) = delete;
  BoundedExchange& operator=(const BoundedExchange&) = delete;

  void Connect(const std::string& host, uint16_t port) {
    boost::system::error_code ec;
    const auto address = asio::ip::make_address(host, ec);
    if (ec) {
      throw boost::system::system_error(ec, "connect");
    }
    const tcp::endpoint endpoint(address, port);
    fd_ = ::socket(endpoint.protocol().family(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
      FailWithErrno("connect", errno);
    }
    if (::connect(fd_, endpoint.data(), static_cast<socklen_t>(endpoint.size())) == 0) {
      return;
    }
    if (errno != EINPROGRESS) {
      FailWithErrno("connect", errno);
    }
    Await(POLLOUT, "connect", std::min(deadline_, Clock::now() + timeouts_.connect));
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
      error = errno;
    }
    if (error != 0) {
      FailWithErrno("connect", error);
    }
  }

  void Write(const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
      const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n >= 0) {
        sent += static_cast<std::size_t>(n);
      } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
        Await(POLLOUT, "write", deadline_);
      } else if (errno != EINTR) {
        FailWithErrno("write", errno);
      }
    }
  }

  // Reads until `delimiter` lies in the received bytes (searched from their start); returns the
  // offset just past it. At most kMaxHeaderBlockBytes are held.
  std::size_t ReadUntil(std::string_view delimiter) {
    std::size_t searchFrom = 0;
    while (true) {
      const std::size_t found = std::string_view(received_).find(delimiter, searchFrom);
      if (found != std::string_view::npos) {
        return found + delimiter.size();
      }
      if (received_.size() >= kMaxHeaderBlockBytes) {
        throw boost::system::system_error(asio::error::not_found, "read_until");
      }
      searchFrom = received_.size() >= delimiter.size() ? received_.size() - delimiter.size() + 1 : 0;
      Receive();
    }
  }

  [[nodiscard]] const std::string& Received() const { return received_; }
  [[nodiscard]] std::string TakeReceived() { return std::move(received_); }

 private:
  void Receive() {
    const std::size_t held = received_.size();
    received_.resize(held + std::min(kReceiveChunkBytes, kMaxHeaderBlockBytes - held));
    while (true) {
      const ssize_t n = ::recv(fd_, received_.data() + held, received_.size() - held, 0);
      if (n > 0) {
        received_.resize(held + static_cast<std::size_t>(n));
        return;
      }
      if (n == 0) {
        received_.resize(held);
        throw boost::system::system_error(asio::error::eof, "read_until");
      }
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        Await(POLLIN, "read_until", deadline_);
      } else if (errno != EINTR) {
        const int error = errno;
        received_.resize(held);
        FailWithErrno("read_until", error);
      }
    }
  }

  // Waits until the socket is ready for `events`; a timeout when `limit` passes first.
  void Await(short events, const char* operation, Clock::time_point limit) {
    while (true) {
      const auto now = Clock::now();
      if (now >= limit) {
        throw boost::system::system_error(asio::error::timed_out, operation);
      }
      // Rounded up, so the wait never ends just before the limit and spins.
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(limit - now);
      pollfd entry{fd_, events, 0};
      const int ready = ::poll(&entry, 1, static_cast<int>(left.count()));
      if (ready > 0) {
        return;  // also on an error or hang-up: the next call reports it
      }
      if (ready < 0 && errno != EINTR) {
        FailWithErrno(operation, errno);
      }
    }
  }

  [[noreturn]] static void FailWithErrno(const char* operation, int error) {
    throw boost::system::system_error(boost::system::error_code(error, boost::system::system_category()), operation);
  }

  static constexpr std::size_t kReceiveChunkBytes = 64 * 1024;

  PageTimeouts timeouts_;
  Clock::time_point deadline_;
  int fd_ = -1;
  std::string received_;
};

void CheckStatusLine(const std::string& line) {
  std::istringstream in(line);
  in.imbue(std::locale::classic());
  std::string version;
  unsigned int code = 0;
  in >> version >> code;
  if (!in || version.compare(0, 5, "HTTP/") != 0) {
    throw std::runtime_error("Invalid/unexpected http response type:" + version);
  }
  if (code != 200) {
    throw std::runtime_error("Response returned with status code: " + std::to_string(code));
  }
}

// Connects, writes the request and checks the status line; returns the exchange for more reading.
void StartExchange(BoundedExchange& exchange, const std::string& host, uint16_t port, const std::string& request) {
  exchange.Connect(host, port);
  exchange.Write(request);
  const std::size_t lineEnd = exchange.ReadUntil("\r\n");
  CheckStatusLine(exchange.Received().substr(0, lineEnd - 2));
}

}  // namespace

std::string BuildPageRequest(const std::string& host, uint16_t port, const std::string& path,
                             const ParameterMap* parameters) {
  std::string request = "GET " + path + " HTTP/1.1\r\n";
  request += "Host: " + host + ":" + std::to_string(port) + "\r\n";
  request += "Accept: text/*,*/*\r\n";
  request += "Content-Length: 0\r\n";
  request += "Connection: close\r\n";
  if (parameters != nullptr) {
    for (const auto& [name, value] : *parameters) {
      request += name + ": " + (NeedsUrlEncoding(name) ? UrlEncode(value) : value) + "\r\n";
    }
  }
  request += "\r\n";
  return request;
}

namespace {

std::string_view TrimmedView(std::string_view text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && IsAsciiBlank(text[begin])) ++begin;
  while (end > begin && IsAsciiBlank(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

std::string DecodedValue(std::string_view value) {
  if (value.find_first_of("%+") == std::string_view::npos) {
    return std::string(value);
  }
  return UrlDecode(std::string(value));
}

struct LineParameter {
  std::string_view name;
  std::string_view value;  // trimmed, not yet decoded
};

// The parameter a header line names; nullopt for lines that name none.
std::optional<LineParameter> ParameterOfLine(std::string_view rawLine) {
  const std::string_view line = TrimmedView(rawLine);
  const std::size_t colon = line.find(':');
  if (colon == std::string_view::npos) {
    return std::nullopt;
  }
  const std::string_view name = TrimmedView(line.substr(0, colon));
  if (name == "Content-Type" || name == "Content-Length" || name == "Connection") {
    return std::nullopt;
  }
  return LineParameter{name, TrimmedView(line.substr(colon + 1))};
}

// Walks the lines after the status line up to the empty line that ends the headers.
class HeaderLines {
 public:
  explicit HeaderLines(std::string_view block) : block_(block) {
    const std::size_t statusEnd = block_.find('\n');  // the status line is not a parameter
    next_ = statusEnd == std::string_view::npos ? block_.size() : statusEnd + 1;
  }

  // The next line (without its LF); false at the end.
  bool Next(std::string_view& line) {
    if (next_ >= block_.size()) {
      return false;
    }
    const std::size_t end = block_.find('\n', next_);
    line = block_.substr(next_, end == std::string_view::npos ? end : end - next_);
    next_ = end == std::string_view::npos ? block_.size() : end + 1;
    if (line == "\r") {
      next_ = block_.size();
      return false;
    }
    return true;
  }

 private:
  std::string_view block_;
  std::size_t next_ = 0;
};

// The parameter of the nearest line before the one that starts at `lineStart` (after the status
// line) that names one.
std::optional<LineParameter> ParameterBefore(std::string_view block, std::size_t lineStart) {
  const std::size_t statusEnd = block.find('\n');
  std::size_t end = lineStart;  // just past the LF of the line before
  while (end > statusEnd + 1) {
    const std::size_t lineFeed = end - 1;
    const std::size_t begin = block.rfind('\n', lineFeed - 1) + 1;
    if (auto parameter = ParameterOfLine(block.substr(begin, lineFeed - begin))) {
      return parameter;
    }
    end = begin;
  }
  return std::nullopt;
}

}  // namespace

ParameterMap ParseHeaderParameters(std::string_view received, bool* inOrder) {
  ParameterMap parameters;
  bool ordered = true;
  HeaderLines lines(received);
  std::string_view line;
  while (lines.Next(line)) {
    const auto parameter = ParameterOfLine(line);
    if (!parameter) {
      continue;
    }
    // Devices list their parameters in name order, so the end is nearly always the place.
    auto place = parameters.end();
    if (!parameters.empty() && std::string_view(parameters.rbegin()->first) >= parameter->name) {
      ordered = false;
      place = parameters.lower_bound(std::string(parameter->name));
      if (place != parameters.end() && place->first == parameter->name) {
        continue;  // the first occurrence wins
      }
    }
    parameters.emplace_hint(place, std::string(parameter->name), DecodedValue(parameter->value));
  }
  if (inOrder != nullptr) {
    *inOrder = ordered;
  }
  return parameters;
}

std::optional<ParameterEdits> EditsBetween(std::string_view previous, std::string_view current) {
  ParameterEdits edits;
  HeaderLines before(previous);
  HeaderLines after(current);
  std::string_view oldLine;
  std::string_view newLine;
  bool haveOld = before.Next(oldLine);
  bool haveNew = after.Next(newLine);
  while (haveOld || haveNew) {
    if (haveOld && haveNew && oldLine == newLine) {
      haveOld = before.Next(oldLine);
      haveNew = after.Next(newLine);
      continue;
    }
    const auto oldParameter = haveOld ? ParameterOfLine(oldLine) : std::nullopt;
    const auto newParameter = haveNew ? ParameterOfLine(newLine) : std::nullopt;
    if (haveOld && !oldParameter) {
      haveOld = before.Next(oldLine);
    } else if (haveNew && !newParameter) {
      haveNew = after.Next(newLine);
    } else if (haveOld && haveNew && oldParameter->name == newParameter->name) {
      edits.values.emplace_back(std::string(newParameter->name), DecodedValue(newParameter->value));
      haveOld = before.Next(oldLine);
      haveNew = after.Next(newLine);
    } else if (haveNew && (!haveOld || newParameter->name < oldParameter->name)) {
      // An added parameter; it must come after the one before it, or names could repeat. (The
      // others keep the order they had.)
      const auto lineStart = static_cast<std::size_t>(newLine.data() - current.data());
      const auto previousParameter = ParameterBefore(current, lineStart);
      if (previousParameter && previousParameter->name >= newParameter->name) {
        return std::nullopt;
      }
      edits.values.emplace_back(std::string(newParameter->name), DecodedValue(newParameter->value));
      haveNew = after.Next(newLine);
    } else {
      edits.removed.emplace_back(oldParameter->name);
      haveOld = before.Next(oldLine);
    }
  }
  return edits;
}

void FetchPageBlock(const std::string& host, uint16_t port, const std::string& path, std::string& block,
                    const PageTimeouts& timeouts) {
  block.clear();
  BoundedExchange exchange(timeouts);
  StartExchange(exchange, host, port, BuildPageRequest(host, port, path, nullptr));
  // The search covers the status line too, so a response without header lines ends at once.
  const std::size_t blockEnd = exchange.ReadUntil("\r\n\r\n");
  block = exchange.TakeReceived();
  block.resize(blockEnd);
}

void FetchPageParameters(const std::string& host, uint16_t port, const std::string& path, ParameterMap& out,
                         const PageTimeouts& timeouts) {
  out.clear();
  std::string block;
  FetchPageBlock(host, port, path, block, timeouts);
  out = ParseHeaderParameters(block);
}

void SendPageParameters(const std::string& host, uint16_t port, const std::string& path, const ParameterMap& parameters,
                        const PageTimeouts& timeouts) {
  RefuseUnsafeParameters(parameters);
  BoundedExchange exchange(timeouts);
  StartExchange(exchange, host, port, BuildPageRequest(host, port, path, &parameters));
}

void FetchConfigPage(const std::string& host, uint16_t port, ParameterMap& out, const PageTimeouts& timeouts) {
  FetchPageParameters(host, port, kConfigPage, out, timeouts);
}

void FetchStatisticPage(const std::string& host, uint16_t port, ParameterMap& out, const PageTimeouts& timeouts) {
  FetchPageParameters(host, port, kStatisticPage, out, timeouts);
}

void FetchSessionsPage(const std::string& host, uint16_t port, ParameterMap& out, const PageTimeouts& timeouts) {
  FetchPageParameters(host, port, kSessionsPage, out, timeouts);
}

void SendSavePage(const std::string& host, uint16_t port, const ParameterMap& parameters,
                  const PageTimeouts& timeouts) {
  SendPageParameters(host, port, kSavePage, parameters, timeouts);
}

void SendConnectPage(const std::string& host, uint16_t port, const ParameterMap& parameters,
                     const PageTimeouts& timeouts) {
  SendPageParameters(host, port, kConnectPage, parameters, timeouts);
}

void SendConnectSapPage(const std::string& host, uint16_t port, const ParameterMap& parameters,
                        const PageTimeouts& timeouts) {
  SendPageParameters(host, port, kConnectSapPage, parameters, timeouts);
}

void FetchConfigurationBlocks(const std::string& host, uint16_t port, std::string& configuration,
                              std::string& statistics, std::string& status, const PageTimeouts& timeouts) {
  status.clear();
  configuration.clear();
  statistics.clear();
  try {
    FetchPageBlock(host, port, kConfigPage, configuration, timeouts);
    FetchPageBlock(host, port, kStatisticPage, statistics, timeouts);
    status = kStatusOk;
  } catch (const std::exception& error) {
    Log("ERROR: Failed to fetch configuration from device: ", error.what());
    status = std::string("Error: ") + error.what();
  }
}

void FetchConfiguration(const std::string& host, uint16_t port, ParameterMap& configuration, ParameterMap& statistics,
                        std::string& status, const PageTimeouts& timeouts) {
  std::string configurationBlock;
  std::string statisticsBlock;
  FetchConfigurationBlocks(host, port, configurationBlock, statisticsBlock, status, timeouts);
  // A fetched block holds at least its status line: an empty one was not fetched.
  configuration = configurationBlock.empty() ? ParameterMap{} : ParseHeaderParameters(configurationBlock);
  statistics = statisticsBlock.empty() ? ParameterMap{} : ParseHeaderParameters(statisticsBlock);
}

void FetchSessions(const std::string& host, uint16_t port, ParameterMap& sessions, std::string& status,
                   const PageTimeouts& timeouts) {
  status.clear();
  try {
    FetchSessionsPage(host, port, sessions, timeouts);
    status = kStatusOk;
  } catch (const std::exception& error) {
    Log("ERROR: Failed to fetch sessions from device: ", error.what());
    status = std::string("Error: ") + error.what();
  }
}

}  // namespace Vextro
