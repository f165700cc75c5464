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
// library would: broken request lines, huge headers, slow bytes. Every wait is bounded. The source
// address may be any other loopback address, so one test can play several hosts.
class RawConnection {
 public:
  explicit RawConnection(uint16_t port, const std::string& source = "127.0.0.1");
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

// How many of each kind of slow connection, and the hosts they come from.
struct SlowMix {
  int slowHeaders = 0;                            // a request header a byte at a time
  int slowBodies = 0;                             // a whole header announcing a body that then trickles
  int silent = 0;                                 // connected, never sending
  int stalledReaders = 0;                         // ask for readerPath, then read nothing through the smallest window
  std::vector<std::string> sources{"127.0.0.1"};  // loopback source addresses, taken in turn
  std::chrono::milliseconds byteInterval{200};
  std::string readerPath = "/";
};

// Connections that hold server slots without credentials, as a hostile host would. A connection
// the server closes is opened again, so the count stays until stop().
class SlowClients {
 public:
  SlowClients(uint16_t port, SlowMix mix);
  ~SlowClients();
  SlowClients(const SlowClients&) = delete;
  SlowClients& operator=(const SlowClients&) = delete;

  void stop();
  // How many connections the server closed (each opened again).
  [[nodiscard]] int closedByServer() const { return closed_; }
  // How many page requests the stalled readers sent.
  [[nodiscard]] int requestsSent() const { return requestsSent_; }

 private:
  enum class Kind { Header, Body, Silent, Reader };
  struct Slow {
    int fd = -1;
    Kind kind = Kind::Header;
    std::string source;
    std::size_t sent = 0;
  };
  void open(Slow& slow) const;
  // One round for one connection: false when it is gone.
  bool tend(Slow& slow);
  static bool sendSome(Slow& slow, const std::string& bytes);
  void run();

  uint16_t port_;
  std::chrono::milliseconds byteInterval_;
  std::string pageRequest_;
  std::vector<Slow> connections_;
  std::atomic<bool> stopping_{false};
  std::atomic<int> closed_{0};
  std::atomic<int> requestsSent_{0};
  std::thread thread_;
};

// One request on a fresh connection.
[[nodiscard]] RawResponse post(uint16_t port, const std::string& path, const std::string& body,
                               bool withCredentials = true, const std::string& source = "127.0.0.1");
[[nodiscard]] RawResponse get(uint16_t port, const std::string& path);

}  // namespace engine_test
