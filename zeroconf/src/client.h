#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace zeroconf {

class browser;
class browser_listener;
class hostname_browser;
class hostname_browser_listener;
class service;

// A DNS-SD client: every operation started on it runs and reports on the client's one poll
// thread. Must be owned by a std::shared_ptr before any operation is started (the operations
// keep the client alive through it); an unowned client throws std::bad_weak_ptr.
// Each operation returns an empty handle, after a logged line, when it cannot start; a browse
// started while the DNS-SD service is not running (no daemon yet) logs the line too, but its
// handle waits and the browse starts once the service answers.
class client : public std::enable_shared_from_this<client> {
 public:
  client() = default;
  client(const client&) = delete;
  client& operator=(const client&) = delete;
  virtual ~client() = default;

  // Browse on all interfaces in the given domain ("" for the default one).
  virtual std::shared_ptr<browser> browse(const std::string& name, const std::string& type, const std::string& domain,
                                          const std::string& subtype, std::shared_ptr<browser_listener> listener,
                                          bool reconfirm) = 0;
  // Browse on the client's interface in the default domain. A non-empty name reports only
  // instances of that exact name; an empty subtype browses the type alone.
  virtual std::shared_ptr<browser> browse(const std::string& name, const std::string& type, const std::string& subtype,
                                          std::shared_ptr<browser_listener> listener, bool reconfirm) = 0;
  // As the browse above, but no DNS-SD call is made on the caller's thread: the browse starts on the
  // poll thread, where a refused start is logged and, while the service is not running, tried
  // again after the back-off. Only instances whose name begins with `name_prefix` are resolved
  // and reported (a network may hold thousands of others of the type). Empty handle only for a
  // type that can never be browsed.
  virtual std::shared_ptr<browser> browse_in_background(const std::string& type, const std::string& subtype,
                                                        const std::string& name_prefix,
                                                        std::shared_ptr<browser_listener> listener) = 0;
  // Follows the IPv4 address of one host name.
  virtual std::shared_ptr<hostname_browser> browse_hostname(const std::string& host_name,
                                                            std::shared_ptr<hostname_browser_listener> listener) = 0;
  // Announces a service; the callback receives each service_state the daemon answers with.
  virtual std::shared_ptr<service> register_service(const std::string& name, const std::string& type, uint16_t port,
                                                    const std::vector<std::string>& subtypes,
                                                    const std::vector<std::string>& txt_entries,
                                                    std::function<void(int)> state_callback) = 0;
};

// A new client for one interface index (negative: all interfaces); its poll thread is running
// on return. The caller puts the pointer into a std::shared_ptr at once.
client* create_client(int32_t interface_index);

}  // namespace zeroconf
