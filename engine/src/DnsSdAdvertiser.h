#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include <dns_sd.h>

namespace tvsk {

// Advertises the running engine by DNS-SD: one registration of type "_http._tcp" with subtype
// "_ravenna" on the HTTP port, TXT "master:1" for a master, kept alive by its own poll thread.
// The system's libdns_sd is opened at run time, so nothing links it.
class DnsSdAdvertiser {
 public:
  static constexpr const char* kServiceType = "_http._tcp,_ravenna";
  static constexpr const char* kNamePrefix = "_lumora";
  static constexpr const char* kMasterTxtEntry = "master:1";

  DnsSdAdvertiser() = default;
  ~DnsSdAdvertiser();
  DnsSdAdvertiser(const DnsSdAdvertiser&) = delete;
  DnsSdAdvertiser& operator=(const DnsSdAdvertiser&) = delete;

  // Registers the name; false with `error` set when the library or the daemon refuses it.
  [[nodiscard]] bool advertise(const std::string& name, uint16_t port, bool master, std::string& error);
  // Withdraws the registration and joins the poll thread. Idempotent.
  void withdraw();

  // "_lumora_<host>_<pid>", at most 63 bytes (a DNS label).
  [[nodiscard]] static std::string defaultName();

 private:
  void poll();

  // Entries kept from the library, so a withdrawal at process exit needs no other static object.
  decltype(&DNSServiceProcessResult) processResult_ = nullptr;
  decltype(&DNSServiceRefDeallocate) deallocate_ = nullptr;
  DNSServiceRef serviceRef_ = nullptr;
  int socket_ = -1;
  int wakeFd_ = -1;
  std::thread thread_;
};

}  // namespace tvsk
