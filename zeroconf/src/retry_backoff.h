#pragma once

#include <chrono>
#include <cstdint>

#include "zeroconf/src/dnssd_api.h"

namespace zeroconf {

// Waits between attempts to start an operation again: the first delay, doubled after each
// further attempt up to the limit.
struct retry_delays {
  static constexpr std::chrono::milliseconds kFirst{500};
  static constexpr std::chrono::milliseconds kLimit{8000};

  std::chrono::milliseconds first = kFirst;
  std::chrono::milliseconds limit = kLimit;
};

class retry_backoff {
 public:
  // The delay before the next attempt; each call doubles the following one.
  std::chrono::milliseconds next(const retry_delays& delays) {
    std::chrono::milliseconds delay = attempts_ == 0 ? delays.first : previous_ * 2;
    if (delay > delays.limit) {
      delay = delays.limit;
    }
    if (delay < std::chrono::milliseconds(1)) {
      delay = std::chrono::milliseconds(1);
    }
    ++attempts_;
    previous_ = delay;
    return delay;
  }
  // The operation works again: the next failure waits the first delay.
  void reset() { attempts_ = 0; }
  [[nodiscard]] uint32_t attempts() const { return attempts_; }

 private:
  uint32_t attempts_ = 0;
  std::chrono::milliseconds previous_{0};
};

// Answers with which the library says that the DNS-SD service (the daemon or the connection
// to it) went away: the operation will never answer again on its connection. avahi reports the
// daemon's disappearance with kDNSServiceErr_Unknown; Bonjour with ServiceNotRunning or, in
// newer versions, DefunctConnection.
constexpr DNSServiceErrorType kDNSServiceErr_DefunctConnection = -65569;

[[nodiscard]] constexpr bool means_service_gone(DNSServiceErrorType code) {
  return code == kDNSServiceErr_Unknown || code == kDNSServiceErr_ServiceNotRunning ||
         code == kDNSServiceErr_DefunctConnection;
}

}  // namespace zeroconf
