#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace zeroconf {

class bonjour_client;

// Receives the address changes of one host name, on the client's poll thread. Texts are lent
// for the call only.
class hostname_browser_listener {
 public:
  virtual ~hostname_browser_listener() = default;
  // The address text is dotted IPv4, or empty when the address is not IPv4.
  virtual void hostname_resolved(uint32_t interface_index, const char* host_name, const char* address) = 0;
  virtual void hostname_removed(uint32_t interface_index, const char* host_name) = 0;
};

// Base of host-name lookup handles.
class hostname_browser {
 public:
  explicit hostname_browser(std::shared_ptr<hostname_browser_listener> listener) : listener(std::move(listener)) {}
  virtual ~hostname_browser() = default;
  hostname_browser(const hostname_browser&) = delete;
  hostname_browser& operator=(const hostname_browser&) = delete;

  std::shared_ptr<hostname_browser_listener> listener;
};

// The handle browse_hostname returns; releasing it ends the lookup. Where the library has no
// DNSServiceGetAddrInfo (avahi), the lookup is an A-record query of the host name.
class bonjour_hostname_browser final : public hostname_browser {
 public:
  class impl;

  // Throws std::runtime_error "DNSServiceGetAddrInfo() failed (<code>)." when the lookup
  // cannot start.
  bonjour_hostname_browser(const std::shared_ptr<bonjour_client>& owner, const std::string& host_name,
                           std::shared_ptr<hostname_browser_listener> listener);
  ~bonjour_hostname_browser() override;

 private:
  std::shared_ptr<impl> impl_;
};

}  // namespace zeroconf
