#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>

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

// One request on a fresh connection.
[[nodiscard]] RawResponse post(uint16_t port, const std::string& path, const std::string& body,
                               bool withCredentials = true);
[[nodiscard]] RawResponse get(uint16_t port, const std::string& path);

}  // namespace engine_test
