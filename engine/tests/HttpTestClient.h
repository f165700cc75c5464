#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace engine_test {

// What came back on a connection: the status (0 when none), the header lines, the body.
struct RawResponse {
  int status = 0;
  std::string head;
  std::string body;
  bool closed = false;  // the server closed the connection

  [[nodiscard]] std::string header(const std::string& name) const;
};

// A plain TCP connection to 127.0.0.1 speaking HTTP by hand, so tests can send what no client
// library would: broken request lines, huge headers, slow bytes. Every wait is bounded.
class RawConnection {
 public:
  explicit RawConnection(uint16_t port);
  ~RawConnection();
  RawConnection(const RawConnection&) = delete;
  RawConnection& operator=(const RawConnection&) = delete;

  // False when the peer has gone.
  bool send(const std::string& bytes);
  // Reads one response (head, then Content-Length bytes of body or up to the close).
  [[nodiscard]] RawResponse read(std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));
  // True when the server closes the connection within the timeout without sending anything more.
  [[nodiscard]] bool closedWithin(std::chrono::milliseconds timeout);

 private:
  int fd_ = -1;
  std::string pending_;
};

// Connections that hold server slots without credentials, as a hostile host would: each sends a
// request header a byte at a time, or a whole header announcing a body that then trickles. A
// connection the server closes is opened again, so the count stays until stop().
class SlowClients {
 public:
  SlowClients(uint16_t port, int slowHeaders, int slowBodies,
              std::chrono::milliseconds byteInterval = std::chrono::milliseconds(200));
  ~SlowClients();
  SlowClients(const SlowClients&) = delete;
  SlowClients& operator=(const SlowClients&) = delete;

  void stop();
  // How many connections the server closed (each opened again).
  [[nodiscard]] int closedByServer() const { return closed_; }

 private:
  struct Slow {
    int fd = -1;
    bool body = false;
    std::size_t sent = 0;
  };
  void open(Slow& slow) const;
  void run();

  uint16_t port_;
  std::chrono::milliseconds byteInterval_;
  std::vector<Slow> connections_;
  std::atomic<bool> stopping_{false};
  std::atomic<int> closed_{0};
  std::thread thread_;
};

// One request on a fresh connection.
[[nodiscard]] RawResponse post(uint16_t port, const std::string& path, const std::string& body,
                               bool withCredentials = true);
[[nodiscard]] RawResponse get(uint16_t port, const std::string& path);

}  // namespace engine_test
