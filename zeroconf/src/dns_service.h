#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "zeroconf/src/dnssd_api.h"
#include "zeroconf/src/retry_backoff.h"

namespace zeroconf {

class bonjour_client;

// Base of every running DNS-SD operation: owns its reference, keeps its client alive and, while
// listed, has its replies processed by the client's poll thread.
class dns_service : public std::enable_shared_from_this<dns_service> {
 public:
  explicit dns_service(std::shared_ptr<bonjour_client> owner);
  virtual ~dns_service();
  dns_service(const dns_service&) = delete;
  dns_service& operator=(const dns_service&) = delete;

  // Enters the operation into the client's poll list; the operation must be owned by a
  // std::shared_ptr (else std::bad_weak_ptr).
  virtual void add_dns_service();
  // Leaves the poll list and releases the reference; harmless when repeated, safe on any thread.
  void remove_dns_service();
  // The caller released its handle: an operation waiting to start again never does.
  void end_operation();
  // Processing this operation's socket said that the DNS-SD service went away (Bonjour's
  // library answers so once its daemon closed the connection). Poll thread only.
  virtual void on_service_gone() {}
  // A start made on the poll thread (after the service's loss, or a start moved there) worked.
  virtual void on_started() {}

  [[nodiscard]] bonjour_client& owner() const { return *client_; }
  [[nodiscard]] const std::shared_ptr<bonjour_client>& owner_handle() const { return client_; }

  // The operation's reference; written only under the poll list's lock once listed.
  DNSServiceRef sd_ref_ = nullptr;
  // Called by the poll thread with idle_context in cycles where this socket was not ready.
  void* idle_context = nullptr;
  std::function<void(void*)> idle_hook;

 protected:
  // Releases the reference and leaves the entry listed, so a next one can take its place.
  void release_sd_ref();
  void store_sd_ref(DNSServiceRef ref);

  // Starts the operation's DNS-SD call; gives its result and fills the reference.
  using start_function = std::function<DNSServiceErrorType(DNSServiceRef*)>;
  // First start of an operation not yet listed, keeping its reference. Throws
  // std::runtime_error "<call>() failed (<code>)." when its arguments are not acceptable (bad
  // parameter) or the library refuses the call.
  void start_or_throw(const char* call, bool acceptable, const start_function& start);
  // As start_or_throw, except that a DNS-SD service not running yet (no daemon) is waited for
  // as after its loss (see restart_later): gives the failure text then, for the caller to
  // report, and an empty text when the operation started. The operation must be owned by a
  // std::shared_ptr.
  std::string start_or_wait(const char* call, bool acceptable, start_function start, std::string what);
  // As start_or_wait, but the DNS-SD call itself is made on the poll thread, so the caller never
  // waits for the service (a hung daemon holds a call for D-Bus's 25 s). Throws at once only for
  // arguments that are not acceptable. A refused first start goes to `report` (on the poll
  // thread) and, when the service is merely not running, is tried again after the back-off.
  using failure_report = std::function<void(const std::string& failure)>;
  void start_on_poll_thread(const char* call, bool acceptable, start_function start, std::string what,
                            failure_report report);

  // The DNS-SD service went away: ends the connection (out of the poll list, reference
  // released) and calls `start` on the poll thread after a back-off delay, again after each
  // failure, until it works; then the operation is listed again. `what` names the operation in
  // the log. Poll thread only; the operation must be owned by a std::shared_ptr.
  void restart_later(start_function start, std::string what);
  // An answer came: the next loss of the service waits the first delay again.
  void answered() { restart_backoff_.reset(); }

 private:
  // Detaches the reference under the lock; null when another thread's release must wait for
  // the poll thread to finish processing it (the poll thread frees it then).
  DNSServiceRef take_sd_ref_locked();
  // Calls `start` unless the arguments are not acceptable (bad parameter); keeps the reference.
  DNSServiceErrorType first_start(bool acceptable, const start_function& start);
  void schedule_restart(start_function start, std::string what);
  // Calls `start` on the poll thread after `delay` and lists the operation when it works; a failure
  // goes to `report` when one is given, and is retried after the back-off while retrying can help.
  void schedule_start(std::chrono::milliseconds delay, const char* call, start_function start, std::string what,
                      failure_report report);

  std::shared_ptr<bonjour_client> client_;
  std::atomic<bool> ended_{false};
  retry_backoff restart_backoff_;
};

}  // namespace zeroconf
