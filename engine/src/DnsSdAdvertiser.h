#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include <dns_sd.h>

namespace tvsk {

// Waits between attempts to register again: the first delay, doubled after each failed attempt
// up to the limit.
struct AdvertiseRetryDelays {
  std::chrono::milliseconds first{500};
  std::chrono::milliseconds limit{8000};
};

// Advertises the running engine by DNS-SD: one registration of type "_http._tcp" with subtype
// "_ravenna" on the HTTP port, TXT "master:1" for a master, kept alive by its own poll thread.
// When the daemon refuses or drops the registration (it restarted, say), the thread registers the
// same name again after a back-off until it is accepted. The system's libdns_sd is opened at run
// time, so nothing links it.
class DnsSdAdvertiser {
 public:
  static constexpr const char* kServiceType = "_http._tcp,_ravenna";
  static constexpr const char* kNamePrefix = "_lumora";
  static constexpr const char* kMasterTxtEntry = "master:1";

  explicit DnsSdAdvertiser(AdvertiseRetryDelays delays = {}) : delays_(delays) {}
  ~DnsSdAdvertiser();
  DnsSdAdvertiser(const DnsSdAdvertiser&) = delete;
  DnsSdAdvertiser& operator=(const DnsSdAdvertiser&) = delete;

  // Starts advertising the name; false with `error` set when libdns_sd cannot be used at all.
  [[nodiscard]] bool advertise(const std::string& name, uint16_t port, bool master, std::string& error);
  // Withdraws the registration and joins the poll thread. Idempotent.
  void withdraw();

  // "_lumora_<host>_<pid>", at most 63 bytes (a DNS label).
  [[nodiscard]] static std::string defaultName();

 private:
  // On the poll thread from here on.
  void run();
  void registerService();
  void dropRegistration();
  void retryLater();
  [[nodiscard]] int pollTimeoutMs() const;
  static void DNSSD_API onRegistered(DNSServiceRef, DNSServiceFlags, DNSServiceErrorType errorCode, const char* name,
                                     const char* type, const char* domain, void* context);

  AdvertiseRetryDelays delays_;
  std::string name_;
  std::string txt_;
  uint16_t port_ = 0;
  DNSServiceRef serviceRef_ = nullptr;
  bool failed_ = false;  // the daemon refused or dropped the registration
  std::chrono::milliseconds nextDelay_{0};
  std::chrono::steady_clock::time_point nextAttempt_;
  int wakeFd_ = -1;
  std::thread thread_;
};

}  // namespace tvsk
