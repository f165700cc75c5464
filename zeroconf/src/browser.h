#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace zeroconf {

class bonjour_client;

// Receives what a browse finds, on the client's poll thread. Texts are lent for the call only.
class browser_listener {
 public:
  virtual ~browser_listener() = default;
  // One resolved instance: the unescaped instance name, the registration type the library
  // reported (e.g. "_http._tcp."), the host ("name.local."), the IPv4 address as dotted text,
  // the port in host byte order and the TXT entries.
  virtual void service_resolved(uint32_t interface_index, const char* name, const char* regtype, const char* host_name,
                                const char* address, uint16_t port, const std::vector<std::string>& txt_entries) = 0;
  // An instance went away; the name is the browse answer's, as the library reported it.
  virtual void service_removed(uint32_t interface_index, const char* name, const char* regtype) = 0;
};

// Base of browse handles.
class browser {
 public:
  explicit browser(std::shared_ptr<browser_listener> listener) : listener(std::move(listener)) {}
  virtual ~browser() = default;
  browser(const browser&) = delete;
  browser& operator=(const browser&) = delete;

  // Whether the browse runs on a live DNS-SD service: false before its first start and while it
  // waits to start again after the service went away (what it reported then is gone). Any thread.
  [[nodiscard]] virtual bool running() const { return true; }
  // Resolves this instance again every follow period while it is present, so that a new address,
  // port or host of it reaches service_resolved even though the browse reports nothing new; an
  // empty name ends the following. One instance at a time; any thread, never blocks.
  virtual void follow(uint32_t /*interface_index*/, const std::string& /*name*/) {}

  std::shared_ptr<browser_listener> listener;
};

// How a browse starts. `in_background`: the DNS-SD call is made on the poll thread, not the
// caller's. `name_prefix`: instances whose name does not begin with it are neither resolved nor
// reported.
struct browse_options {
  bool in_background = false;
  std::string name_prefix;
};

// The handle a browse returns; releasing it ends the browse. Resolves already started go on
// and may still report afterwards.
class bonjour_browser final : public browser {
 public:
  class impl;

  // Throws std::runtime_error "DNSServiceBrowse() failed (<code>)." when the browse cannot start.
  // A DNS-SD service that is not running yet (no daemon) is waited for instead: the browse
  // starts once it answers, and start_failure() tells why it has not started yet.
  // See browse_options; the constructor then throws only for a type or domain that can never be
  // browsed when the browse starts in the background.
  bonjour_browser(const std::shared_ptr<bonjour_client>& owner, const std::string& name_filter,
                  const std::string& regtype, uint32_t interface_index, const char* domain,
                  std::shared_ptr<browser_listener> listener, bool reconfirm, browse_options options = {});
  ~bonjour_browser() override;

  [[nodiscard]] bool running() const override;
  void follow(uint32_t interface_index, const std::string& name) override;

  // The failure of the first start when the browse waits for the service; else empty.
  [[nodiscard]] const std::string& start_failure() const { return start_failure_; }

 private:
  std::shared_ptr<impl> impl_;
  std::string start_failure_;
};

// "type" or "type,subtype", the form the library takes for a subtype browse.
std::string browse_regtype(const std::string& type, const std::string& subtype);

}  // namespace zeroconf
