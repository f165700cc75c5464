#include "HttpTestClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>

namespace engine_test {
namespace {

std::string lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

}  // namespace

std::string RawResponse::header(const std::string& name) const {
  const std::string wanted = lower(name) + ":";
  std::size_t start = head.find("\r\n");
  while (start != std::string::npos && start + 2 < head.size()) {
    const std::size_t end = head.find("\r\n", start + 2);
    const std::string line = head.substr(start + 2, end == std::string::npos ? std::string::npos : end - start - 2);
    if (lower(line.substr(0, wanted.size())) == wanted) {
      std::string value = line.substr(wanted.size());
      while (!value.empty() && value.front() == ' ') value.erase(0, 1);
      return value;
    }
    start = end;
  }
  return {};
}

RawConnection::RawConnection(uint16_t port) {
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
  if (fd_ < 0 || connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    throw std::runtime_error("cannot connect to 127.0.0.1:" + std::to_string(port));
  }
}

RawConnection::~RawConnection() {
  if (fd_ >= 0) close(fd_);
}

bool RawConnection::send(const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    pollfd ready{fd_, POLLOUT, 0};
    if (poll(&ready, 1, 5000) <= 0) return false;
    const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

RawResponse RawConnection::read(std::chrono::milliseconds timeout) {
  RawResponse response;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::string& data = pending_;
  std::size_t headEnd = std::string::npos;
  std::size_t wanted = std::string::npos;
  for (;;) {
    if (headEnd == std::string::npos) {
      headEnd = data.find("\r\n\r\n");
      if (headEnd != std::string::npos) {
        response.head = data.substr(0, headEnd);
        if (response.head.size() > 12) response.status = std::atoi(response.head.c_str() + 9);
        const std::string length = response.header("Content-Length");
        wanted = length.empty() ? std::string::npos : static_cast<std::size_t>(std::atoll(length.c_str()));
        // An interim answer has no body.
        if (response.status >= 100 && response.status < 200) wanted = 0;
      }
    }
    if (headEnd != std::string::npos && wanted != std::string::npos && data.size() >= headEnd + 4 + wanted) {
      response.body = data.substr(headEnd + 4, wanted);
      data.erase(0, headEnd + 4 + wanted);
      return response;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd ready{fd_, POLLIN, 0};
    if (poll(&ready, 1, static_cast<int>(left.count())) <= 0) break;
    char chunk[65536];
    const ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
    if (n <= 0) {
      response.closed = true;
      break;
    }
    data.append(chunk, static_cast<std::size_t>(n));
  }
  if (headEnd != std::string::npos) {
    response.body = data.substr(headEnd + 4);
  }
  data.clear();
  return response;
}

bool RawConnection::closedWithin(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd ready{fd_, POLLIN, 0};
    if (poll(&ready, 1, static_cast<int>(left.count())) <= 0) return false;
    char chunk[4096];
    const ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
    if (n <= 0) return true;
  }
}

SlowClients::SlowClients(uint16_t port, int slowHeaders, int slowBodies, std::chrono::milliseconds byteInterval)
    : port_(port), byteInterval_(byteInterval) {
  for (int i = 0; i < slowHeaders + slowBodies; ++i) {
    Slow slow;
    slow.body = i >= slowHeaders;
    open(slow);
    connections_.push_back(slow);
  }
  thread_ = std::thread([this] { run(); });
}

SlowClients::~SlowClients() { stop(); }

void SlowClients::stop() {
  stopping_ = true;
  if (thread_.joinable()) thread_.join();
  for (Slow& slow : connections_) {
    if (slow.fd >= 0) close(slow.fd);
    slow.fd = -1;
  }
}

void SlowClients::open(Slow& slow) const {
  slow.fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  slow.sent = 0;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port_);
  inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
  // Non-blocking: the connection completes in the background, or the first send fails.
  connect(slow.fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
}

void SlowClients::run() {
  static const std::string header = "POST /get HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: " + std::string(4000, 's');
  static const std::string bodyHeader = "POST /get HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 100000\r\n\r\n";
  while (!stopping_) {
    for (Slow& slow : connections_) {
      char scratch[4096];
      const ssize_t got = recv(slow.fd, scratch, sizeof scratch, MSG_DONTWAIT);
      bool gone = got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != ENOTCONN);
      if (!gone) {
        // A slow body starts with its whole header; after that, and for slow headers, one byte.
        const std::string bytes =
            slow.body ? (slow.sent == 0 ? bodyHeader : std::string("{")) : header.substr(slow.sent % header.size(), 1);
        const ssize_t n = ::send(slow.fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
          slow.sent += static_cast<std::size_t>(n);
        } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != ENOTCONN) {
          gone = true;
        }
      }
      if (gone) {
        ++closed_;
        close(slow.fd);
        open(slow);
      }
    }
    std::this_thread::sleep_for(byteInterval_);
  }
}

RawResponse post(uint16_t port, const std::string& path, const std::string& body, bool withCredentials) {
  RawConnection connection(port);
  std::string request = "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n";
  if (withCredentials) request += "Authorization: Basic a2lsbzptYXJz\r\n";
  request += "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
  connection.send(request);
  return connection.read();
}

RawResponse get(uint16_t port, const std::string& path) {
  RawConnection connection(port);
  connection.send("GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
  return connection.read();
}

}  // namespace engine_test
