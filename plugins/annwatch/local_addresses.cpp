#include "plugins/annwatch/local_addresses.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <cerrno>
#include <memory>
#include <system_error>

namespace annwatch {

std::vector<std::string> list_local_addresses() {
  ifaddrs* raw = nullptr;
  if (getifaddrs(&raw) != 0) {
    throw std::system_error(errno, std::generic_category(), "getifaddrs");
  }
  const std::unique_ptr<ifaddrs, decltype(&freeifaddrs)> interfaces(raw, &freeifaddrs);
  std::vector<std::string> addresses;
  for (const ifaddrs* it = interfaces.get(); it != nullptr; it = it->ifa_next) {
    if (it->ifa_addr == nullptr || it->ifa_addr->sa_family != AF_INET || (it->ifa_flags & IFF_UP) == 0) {
      continue;
    }
    char text[INET_ADDRSTRLEN] = {};
    const auto* address = reinterpret_cast<const sockaddr_in*>(it->ifa_addr);
    if (inet_ntop(AF_INET, &address->sin_addr, text, sizeof(text)) != nullptr) {
      addresses.emplace_back(text);
    }
  }
  return addresses;
}

}  // namespace annwatch
