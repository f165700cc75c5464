#include "HttpTestClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <utility>

namespace engine_test {
namespace {

std::string lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// A TCP socket bound to `source` and connecting to 127.0.0.1:port; -1 when a blocking connect
// fails. A non-blocking one completes in the background, or its first send fails.
// With `likeEthernet`, the segment size of an Ethernet link instead of lo's 64 KiB, so the server's
// send buffer starts as small as it would on the LAN.
int connectFrom(const std::string& source, uint16_t port, bool nonBlocking, bool likeEthernet = false) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0), 0);
  if (fd < 0) return -1;
  if (likeEthernet) {
    const int segment = 1460;
    const int smallest = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_MAXSEG, &segment, sizeof segment);
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &smallest, sizeof smallest);
  }
  sockaddr_in local{};
  local.sin_family = AF_INET;
  inet_pton(AF_INET, source.c_str(), &local.sin_addr);
  sockaddr_in remote{};
  remote.sin_family = AF_INET;
  remote.sin_port = htons(port);
  inet_pton(AF_INET, "127.0.0.1", &remote.sin_addr);
  if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      (connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0 && !nonBlocking)) {
    close(fd);
    return -1;
  }
  return fd;
}

// True when the peer has closed or reset the connection, whatever is still unread.
bool hungUp(int fd) {
  pollfd state{fd, POLLRDHUP, 0};
  return poll(&state, 1, 0) > 0 && (state.revents & (POLLHUP | POLLERR | POLLRDHUP)) != 0;
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

RawConnection::RawConnection(uint16_t port, const std::string& source) : fd_(connectFrom(source, port, false)) {
  if (fd_ < 0) {
    throw std::runtime_error("cannot connect from " + source + " to 127.0.0.1:" + std::to_string(port));
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

SlowClients::SlowClients(uint16_t port, SlowMix mix)
    : port_(port),
      byteInterval_(mix.byteInterval),
      pageRequest_("GET " + mix.readerPath + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n") {
  const std::pair<Kind, int> counts[] = {{Kind::Header, mix.slowHeaders},
                                         {Kind::Body, mix.slowBodies},
                                         {Kind::Silent, mix.silent},
                                         {Kind::Reader, mix.stalledReaders}};
  for (const auto& [kind, count] : counts) {
    for (int i = 0; i < count; ++i) {
      Slow slow;
      slow.kind = kind;
      slow.source = mix.sources[connections_.size() % mix.sources.size()];
      open(slow);
      connections_.push_back(slow);
    }
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
  // A stalled reader's answer fills its small window and the server's send buffer at once.
  slow.fd = connectFrom(slow.source, port_, true, slow.kind == Kind::Reader);
  slow.sent = 0;
}

bool SlowClients::sendSome(Slow& slow, const std::string& bytes) {
  const ssize_t n = ::send(slow.fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  if (n > 0) {
    slow.sent += static_cast<std::size_t>(n);
    return true;
  }
  return n == 0 || errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOTCONN;
}

bool SlowClients::tend(Slow& slow) {
  static const std::string header = "POST /get HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: " + std::string(4000, 's');
  static const std::string bodyHeader = "POST /get HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 100000\r\n\r\n";
  if (slow.fd < 0) return false;
  if (slow.kind == Kind::Reader) {
    // Never reads: only a reset or a close tells it is gone.
    if (hungUp(slow.fd)) return false;
    if (slow.sent > 0) return true;
    const bool alive = sendSome(slow, pageRequest_);
    if (slow.sent == pageRequest_.size()) ++requestsSent_;
    return alive && (slow.sent == 0 || slow.sent == pageRequest_.size());
  }
  char scratch[4096];
  const ssize_t got = recv(slow.fd, scratch, sizeof scratch, MSG_DONTWAIT);
  if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != ENOTCONN)) return false;
  switch (slow.kind) {
    case Kind::Header: return sendSome(slow, header.substr(slow.sent % header.size(), 1));
    case Kind::Body: return sendSome(slow, slow.sent == 0 ? bodyHeader : std::string("{"));
    default: return true;
  }
}

void SlowClients::run() {
  while (!stopping_) {
    for (Slow& slow : connections_) {
      if (!tend(slow)) {
        ++closed_;
        if (slow.fd >= 0) close(slow.fd);
        open(slow);
      }
    }
    std::this_thread::sleep_for(byteInterval_);
  }
}

RawResponse post(uint16_t port, const std::string& path, const std::string& body, bool withCredentials,
                 const std::string& source) {
  RawConnection connection(port, source);
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
