#pragma once

#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>

#include "zeroconf/src/client.h"
#include "zeroconf/src/poll_list.h"

namespace zeroconf {

// The client over the DNS-SD library: one poll thread watches the sockets of all listed
// operations and runs their replies.
class bonjour_client final : public client {
 public:
  // At most this many operations are watched in one cycle.
  static constexpr size_t kMaxWatchedSockets = 512;
  // The poll time-out while timed work waits; an idle poll thread sleeps until it is woken.
  static constexpr std::chrono::milliseconds kPollInterval{100};

  explicit bonjour_client(uint32_t interface_index);
  // Ends the poll thread: waits for it, except on the poll thread itself.
  ~bonjour_client() override;

  std::shared_ptr<browser> browse(const std::string& name, const std::string& type, const std::string& domain,
                                  const std::string& subtype, std::shared_ptr<browser_listener> listener,
                                  bool reconfirm) override;
  std::shared_ptr<browser> browse(const std::string& name, const std::string& type, const std::string& subtype,
                                  std::shared_ptr<browser_listener> listener, bool reconfirm) override;
  std::shared_ptr<browser> browse_in_background(const std::string& type, const std::string& subtype,
                                                const std::string& name_prefix,
                                                std::shared_ptr<browser_listener> listener) override;
  std::shared_ptr<hostname_browser> browse_hostname(const std::string& host_name,
                                                    std::shared_ptr<hostname_browser_listener> listener) override;
  std::shared_ptr<service> register_service(const std::string& name, const std::string& type, uint16_t port,
                                            const std::vector<std::string>& subtypes,
                                            const std::vector<std::string>& txt_entries,
                                            std::function<void(int)> state_callback) override;

  // Waits before an operation whose DNS-SD service went away, or a resolve that could not
  // start, is tried again (default 0.5 s doubling to 8 s).
  void set_retry_delays(const retry_delays& delays);
  // How long a resolve may hold its place while others wait for one.
  void set_resolve_turn(std::chrono::milliseconds turn);
  // How long an address query may wait for an IPv4 answer before its resolve is asked for again
  // later (default 10 s).
  void set_address_query_limit(std::chrono::milliseconds limit);
  // How often a followed instance is resolved again (default 2 s).
  void set_follow_period(std::chrono::milliseconds period);

  [[nodiscard]] uint32_t interface_index() const { return interface_index_; }
  // The line every failed start of an operation leaves.
  void log_start_failure(const std::string& name, const std::string& type, const char* text) const;
  [[nodiscard]] poll_list& polled() const { return *poll_list_; }

 private:
  // The frame every operation shares: a start failure (std::runtime_error) becomes a logged
  // line and an empty handle.
  template <typename Handle, typename Start>
  std::shared_ptr<Handle> start_operation(const std::string& name, const std::string& type, Start&& start) {
    auto self = std::static_pointer_cast<bonjour_client>(shared_from_this());
    try {
      return start(self);
    } catch (const std::runtime_error& error) {
      log_start_failure(name, type, error.what());
      return nullptr;
    }
  }

  const uint32_t interface_index_;
  std::shared_ptr<poll_list> poll_list_;
  std::thread poll_thread_;
};

}  // namespace zeroconf
