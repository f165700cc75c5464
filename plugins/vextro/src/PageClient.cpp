#include "plugins/vextro/src/PageClient.h"

#include <locale>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/write.hpp>
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
      throw std::invalid_argument("refused to send parameter '" + UrlEncode(name) +
                                  "': it holds a line break or NUL");
    }
  }
}

// One request's socket with every wait bounded by a deadline.
class BoundedExchange {
 public:
  BoundedExchange(const PageTimeouts& timeouts) : timeouts_(timeouts), deadline_(Clock::now() + timeouts.request) {}

  void Connect(const std::string& host, uint16_t port) {
    boost::system::error_code ec;
    const auto address = asio::ip::make_address(host, ec);
    if (ec) {
      throw boost::system::system_error(ec, "connect");
    }
    const tcp::endpoint endpoint(address, port);
    const auto limit = std::min(deadline_, Clock::now() + timeouts_.connect);
    Run("connect", limit, [&](auto handler) { socket_.async_connect(endpoint, handler); });
  }

  void Write(const std::string& bytes) {
    Run("write", deadline_, [&](auto handler) {
      asio::async_write(socket_, asio::buffer(bytes), [handler](auto ec, std::size_t) { handler(ec); });
    });
  }

  // Reads until `delimiter` lies in the received bytes; returns the offset just past it.
  std::size_t ReadUntil(const std::string& delimiter) {
    std::size_t found = 0;
    Run("read_until", deadline_, [&](auto handler) {
      asio::async_read_until(socket_, asio::dynamic_buffer(received_, kMaxHeaderBlockBytes), delimiter,
                             [handler, &found](auto ec, std::size_t n) {
                               found = n;
                               handler(ec);
                             });
    });
    return found;
  }

  [[nodiscard]] const std::string& Received() const { return received_; }

 private:
  template <typename Start>
  void Run(const char* operation, Clock::time_point limit, Start start) {
    bool done = false;
    boost::system::error_code result;
    start([&](const boost::system::error_code& ec) {
      result = ec;
      done = true;
    });
    io_.restart();
    const auto now = Clock::now();
    if (limit > now) {
      io_.run_for(limit - now);
    }
    if (!done) {
      boost::system::error_code ignored;
      socket_.close(ignored);  // cancels the operation; its handler runs below
      io_.restart();
      io_.run();
      throw boost::system::system_error(asio::error::timed_out, operation);
    }
    if (result) {
      throw boost::system::system_error(result, operation);
    }
  }

  PageTimeouts timeouts_;
  Clock::time_point deadline_;
  asio::io_context io_;
  tcp::socket socket_{io_};
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

ParameterMap ParseHeaderParameters(const std::string& received) {
  ParameterMap parameters;
  std::size_t begin = received.find('\n');  // the status line is not a parameter
  begin = begin == std::string::npos ? received.size() : begin + 1;
  while (begin < received.size()) {
    const std::size_t end = received.find('\n', begin);
    const std::string rawLine = received.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
    begin = end == std::string::npos ? received.size() : end + 1;
    if (rawLine == "\r") {
      break;
    }
    const std::string line = TrimBlanks(rawLine);
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos) {
      continue;
    }
    const std::string name = TrimBlanks(line.substr(0, colon));
    if (name == "Content-Type" || name == "Content-Length" || name == "Connection") {
      continue;
    }
    parameters.emplace(name, UrlDecode(TrimBlanks(line.substr(colon + 1))));
  }
  return parameters;
}

void FetchPageParameters(const std::string& host, uint16_t port, const std::string& path, ParameterMap& out,
                         const PageTimeouts& timeouts) {
  out.clear();
  BoundedExchange exchange(timeouts);
  StartExchange(exchange, host, port, BuildPageRequest(host, port, path, nullptr));
  // The search covers the status line too, so a response without header lines ends at once.
  const std::size_t blockEnd = exchange.ReadUntil("\r\n\r\n");
  out = ParseHeaderParameters(exchange.Received().substr(0, blockEnd));
}

void SendPageParameters(const std::string& host, uint16_t port, const std::string& path,
                        const ParameterMap& parameters, const PageTimeouts& timeouts) {
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

void FetchConfiguration(const std::string& host, uint16_t port, ParameterMap& configuration,
                        ParameterMap& statistics, std::string& status, const PageTimeouts& timeouts) {
  status.clear();
  configuration.clear();
  statistics.clear();
  try {
    FetchConfigPage(host, port, configuration, timeouts);
    FetchStatisticPage(host, port, statistics, timeouts);
    status = kStatusOk;
  } catch (const std::exception& error) {
    Log("ERROR: Failed to fetch configuration from device: ", error.what());
    status = std::string("Error: ") + error.what();
  }
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
