#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace testing_support {

// Where SAP announcements go (RFC 2974).
constexpr const char* kSapGroup = "239.255.255.255";
constexpr uint16_t kSapPort = 9875;

// One SAP datagram to build.
struct SapMessage {
  uint16_t hash = 0;
  // IPv4 dotted text, or IPv6 text (sets the A flag).
  std::string origin = "127.0.0.1";
  std::string sdp;
  bool deletion = false;
  // Without a value the payload has no type field.
  std::optional<std::string> payloadType = std::string("application/sdp");
  uint8_t version = 1;
  bool encrypted = false;
  bool compressed = false;
  // Authentication data; its size must be a multiple of 4.
  std::string auth;
};

// The datagram bytes of a message. Throws std::invalid_argument for a bad origin.
[[nodiscard]] std::string buildSapPacket(const SapMessage& message);

// The o= line of an SDP with CRLF, which is all a deletion carries; empty without one.
[[nodiscard]] std::string originLineOf(std::string_view sdp);

// Sends datagrams to the SAP group on the loopback interface only: IP_MULTICAST_IF 127.0.0.1,
// loop on and TTL 0, so nothing is ever put on a wire. The source address may be any address of
// lo (127.0.0.0/8), so that one test can speak as several hosts.
class SapSender {
 public:
  static constexpr const char* kLoopback = "127.0.0.1";

  // Throws std::system_error when the socket cannot be set up, std::invalid_argument for a source
  // that is no IPv4 address.
  explicit SapSender(uint16_t port = kSapPort, const std::string& source = kLoopback);
  ~SapSender();
  SapSender(const SapSender&) = delete;
  SapSender& operator=(const SapSender&) = delete;

  // Throws std::system_error when the datagram cannot be sent.
  void send(std::string_view datagram) const;

 private:
  int fd_ = -1;
  uint16_t port_;
};

}  // namespace testing_support
