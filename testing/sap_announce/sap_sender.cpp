#include "testing/sap_announce/sap_sender.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <system_error>

namespace testing_support {

namespace {

[[noreturn]] void throwErrno(const char* what) { throw std::system_error(errno, std::generic_category(), what); }

}  // namespace

std::string buildSapPacket(const SapMessage& message) {
  unsigned char origin[16] = {};
  const bool ipv6 = message.origin.find(':') != std::string::npos;
  if (inet_pton(ipv6 ? AF_INET6 : AF_INET, message.origin.c_str(), origin) != 1) {
    throw std::invalid_argument("bad origin address: " + message.origin);
  }
  if (message.auth.size() % 4 != 0 || message.auth.size() / 4 > 255) {
    throw std::invalid_argument("authentication data must be whole 32-bit words");
  }
  std::string packet;
  packet += static_cast<char>((message.version << 5) | (ipv6 ? 0x10 : 0) | (message.deletion ? 0x04 : 0) |
                              (message.encrypted ? 0x02 : 0) | (message.compressed ? 0x01 : 0));
  packet += static_cast<char>(message.auth.size() / 4);
  packet += static_cast<char>(message.hash >> 8);
  packet += static_cast<char>(message.hash & 0xFF);
  packet.append(reinterpret_cast<const char*>(origin), ipv6 ? 16 : 4);
  packet += message.auth;
  if (message.payloadType) {
    packet += *message.payloadType;
    packet += '\0';
  }
  packet += message.sdp;
  return packet;
}

std::string originLineOf(std::string_view sdp) {
  size_t at = sdp.rfind("o=", 0) == 0 ? 0 : sdp.find("\no=");
  if (at == std::string_view::npos) {
    return {};
  }
  if (sdp[at] == '\n') {
    ++at;
  }
  size_t end = sdp.find_first_of("\r\n", at);
  if (end == std::string_view::npos) {
    end = sdp.size();
  }
  return std::string(sdp.substr(at, end - at)) + "\r\n";
}

SapSender::SapSender(uint16_t port, const std::string& source) : port_(port) {
  in_addr from{};
  if (inet_pton(AF_INET, source.c_str(), &from) != 1) {
    throw std::invalid_argument("bad source address: " + source);
  }
  fd_ = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd_ < 0) {
    throwErrno("socket");
  }
  in_addr loopback{};
  inet_pton(AF_INET, kLoopback, &loopback);
  const unsigned char loop = 1;
  const unsigned char ttl = 0;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr = from;
  if (setsockopt(fd_, IPPROTO_IP, IP_MULTICAST_IF, &loopback, sizeof(loopback)) != 0 ||
      setsockopt(fd_, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof(loop)) != 0 ||
      setsockopt(fd_, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof(ttl)) != 0 ||
      bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof(local)) != 0) {
    const int saved = errno;
    ::close(fd_);
    throw std::system_error(saved, std::generic_category(), "SAP sender set-up");
  }
}

SapSender::~SapSender() { ::close(fd_); }

void SapSender::send(std::string_view datagram) const {
  sockaddr_in group{};
  group.sin_family = AF_INET;
  group.sin_port = htons(port_);
  inet_pton(AF_INET, kSapGroup, &group.sin_addr);
  const ssize_t sent =
      sendto(fd_, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&group), sizeof(group));
  if (sent < 0 || static_cast<size_t>(sent) != datagram.size()) {
    throwErrno("sendto");
  }
}

}  // namespace testing_support
