#include "zeroconf/src/hostname_browser.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstring>

#include "log/console_log.h"
#include "zeroconf/src/bonjour_client.h"
#include "zeroconf/src/callback_guard.h"
#include "zeroconf/src/dns_service.h"
#include "zeroconf/src/dns_text_check.h"
#include "zeroconf/src/dnssd_binding.h"
#include "zeroconf/src/platform_flags.h"

namespace zeroconf {

// The running lookup.
class bonjour_hostname_browser::impl final : public hostname_browser, public dns_service {
 public:
  impl(const std::shared_ptr<bonjour_client>& owner, std::shared_ptr<hostname_browser_listener> listener,
       std::string host_name)
      : hostname_browser(std::move(listener)), dns_service(owner), filter_(std::move(host_name)) {}

  void start() {
    // The library hands the name to D-Bus, which ends the process on malformed UTF-8.
    start_or_throw("DNSServiceGetAddrInfo", is_acceptable_domain_name(filter_),
                   [this](DNSServiceRef* ref) { return call_lookup(ref); });
  }

  void on_service_gone() override { service_lost(); }

 private:
  DNSServiceErrorType call_lookup(DNSServiceRef* ref) {
    DNSServiceErrorType result =
        DNSServiceGetAddrInfo(ref, kGetAddrInfoFlags, owner().interface_index(), kDNSServiceProtocol_IPv4,
                              filter_.c_str(), &impl::addrinfo_reply, this);
    if (result == kDNSServiceErr_ServiceNotRunning) {
      // The library lacks the function (avahi): ask for the host's address record instead.
      *ref = nullptr;
      result = DNSServiceQueryRecord(ref, kQueryRecordFlags, owner().interface_index(), filter_.c_str(),
                                     kDNSServiceType_A, kDNSServiceClass_IN, &impl::address_record_reply, this);
    }
    return result;
  }

  static void addrinfo_reply(DNSServiceRef, DNSServiceFlags flags, uint32_t interface_index,
                             DNSServiceErrorType error_code, const char* host_name, const sockaddr* address, uint32_t,
                             void* context) {
    run_reply_guarded(
        [&] { static_cast<impl*>(context)->on_address(flags, interface_index, error_code, host_name, address); });
  }

  // An address record answer in the shape of an addrinfo answer. The library reports the name
  // without its final dot, so the name asked for is reported instead.
  static void address_record_reply(DNSServiceRef, DNSServiceFlags flags, uint32_t interface_index,
                                   DNSServiceErrorType error_code, const char*, uint16_t, uint16_t,
                                   uint16_t data_length, const void* data, uint32_t, void* context) {
    run_reply_guarded([&] {
      auto* lookup = static_cast<impl*>(context);
      sockaddr_in ipv4{};
      const sockaddr* address = nullptr;
      if (data_length == 4 && data != nullptr) {
        ipv4.sin_family = AF_INET;
        std::memcpy(&ipv4.sin_addr, data, 4);
        address = reinterpret_cast<const sockaddr*>(&ipv4);
      }
      lookup->on_address(flags, interface_index, error_code, lookup->filter_.c_str(), address);
    });
  }

  void on_address(DNSServiceFlags flags, uint32_t interface_index, DNSServiceErrorType error_code,
                  const char* host_name, const sockaddr* address) {
    if (error_code != kDNSServiceErr_NoError) {
      writeLogCategory("zeroconf_category", kLogError, LOG_FILE, __LINE__, "errorCode = %d\n", error_code);
      if (means_service_gone(error_code)) {
        service_lost();
      }
      return;
    }
    answered();
    if (host_name == nullptr || (!filter_.empty() && filter_ != host_name)) {
      return;
    }
    if ((flags & kDNSServiceFlagsAdd) != 0) {
      resolved_on_ = interface_index;
      resolved_ = true;
      char text[16] = "";
      if (address != nullptr && address->sa_family == AF_INET) {
        const auto* bytes = reinterpret_cast<const uint8_t*>(&reinterpret_cast<const sockaddr_in*>(address)->sin_addr);
        std::snprintf(text, sizeof text, "%d.%d.%d.%d", bytes[0], bytes[1], bytes[2], bytes[3]);
      }
      writeLog(kLogDebug, LOG_FILE, __LINE__, "[%p] Hostname Resolved %s -> %s\n", static_cast<void*>(listener.get()),
               host_name, text);
      listener->hostname_resolved(interface_index, host_name, text);
    } else {
      writeLog(kLogDebug, LOG_FILE, __LINE__, "[%p] Hostname Rmv %s\n", static_cast<void*>(listener.get()), host_name);
      resolved_ = false;
      listener->hostname_removed(interface_index, host_name);
    }
  }

  // The lookup will never answer again: a reported address is gone with the service, and the
  // lookup starts again once the service answers.
  void service_lost() {
    restart_later([this](DNSServiceRef* ref) { return call_lookup(ref); }, "host-name lookup " + filter_);
    if (resolved_) {
      resolved_ = false;
      writeLog(kLogDebug, LOG_FILE, __LINE__, "[%p] Hostname Rmv %s\n", static_cast<void*>(listener.get()),
               filter_.c_str());
      listener->hostname_removed(resolved_on_, filter_.c_str());
    }
  }

  const std::string filter_;
  bool resolved_ = false;
  uint32_t resolved_on_ = 0;
};

bonjour_hostname_browser::bonjour_hostname_browser(const std::shared_ptr<bonjour_client>& owner,
                                                   const std::string& host_name,
                                                   std::shared_ptr<hostname_browser_listener> listener)
    : hostname_browser(listener) {
  auto running = std::make_shared<impl>(owner, std::move(listener), host_name);
  running->start();
  impl_ = std::move(running);
  impl_->add_dns_service();
}

bonjour_hostname_browser::~bonjour_hostname_browser() {
  impl_->end_operation();
  impl_->remove_dns_service();
}

std::shared_ptr<hostname_browser> bonjour_client::browse_hostname(const std::string& host_name,
                                                                  std::shared_ptr<hostname_browser_listener> listener) {
  return start_operation<hostname_browser>(host_name, "", [&](const std::shared_ptr<bonjour_client>& self) {
    return std::make_shared<bonjour_hostname_browser>(self, host_name, std::move(listener));
  });
}

}  // namespace zeroconf
