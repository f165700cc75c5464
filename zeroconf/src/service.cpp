#include "zeroconf/src/service.h"

#include <arpa/inet.h>

#include <stdexcept>

#include "log/console_log.h"
#include "zeroconf/src/bonjour_client.h"
#include "zeroconf/src/callback_guard.h"
#include "zeroconf/src/dns_service.h"
#include "zeroconf/src/dns_text_check.h"
#include "zeroconf/src/dnssd_binding.h"
#include "zeroconf/src/platform_flags.h"
#include "zeroconf/src/txt_records.h"

namespace zeroconf {

// The running registration; its state and callback are the ones that change and are called.
class bonjour_service::impl final : public service, public dns_service {
 public:
  impl(const std::shared_ptr<bonjour_client>& owner, std::function<void(int)> callback, std::string name,
       std::string regtype, uint16_t port, const std::vector<std::string>& txt_entries)
      : service(std::move(callback)),
        dns_service(owner),
        name_(std::move(name)),
        regtype_(std::move(regtype)),
        port_(port),
        txt_(txt_entries) {}

  void do_register() {
    if (name_.size() >= kMaxNameLength) {
      writeLog(kLogError, LOG_FILE, __LINE__, "service name \"%s\" is too long(%zu) should be < %u\n", name_.c_str(),
               name_.size(), static_cast<unsigned>(kMaxNameLength));
    }
    // The library hands the texts to D-Bus, which ends the process on malformed UTF-8.
    if (!is_well_formed_utf8(name_) || !is_acceptable_service_type(regtype_)) {
      throw std::runtime_error("Could not register service \"" + name_ + "\" (" +
                               std::to_string(kDNSServiceErr_BadParam) + ").");
    }
    DNSServiceRef ref = nullptr;
    const DNSServiceErrorType result = call_register(&ref);
    if (result != kDNSServiceErr_NoError) {
      throw std::runtime_error("Could not register service \"" + name_ + "\" (" + std::to_string(result) + ").");
    }
    sd_ref_ = ref;
  }

  void on_service_gone() override {
    run_reply_guarded([&] { on_register_reply(kDNSServiceErr_ServiceNotRunning); });
  }

 private:
  DNSServiceErrorType call_register(DNSServiceRef* ref) {
    return DNSServiceRegister(ref, kRegisterFlags, owner().interface_index(), name_.c_str(), regtype_.c_str(), nullptr,
                              nullptr, htons(port_), txt_.length(), txt_.data(), &impl::register_reply, this);
  }

  static void register_reply(DNSServiceRef, DNSServiceFlags, DNSServiceErrorType error_code, const char*, const char*,
                             const char*, void* context) {
    run_reply_guarded([&] { static_cast<impl*>(context)->on_register_reply(error_code); });
  }

  void on_register_reply(DNSServiceErrorType error_code) {
    if (means_service_gone(error_code)) {
      // The announcement went with the service: it is made again once the service answers.
      restart_later([this](DNSServiceRef* ref) { return call_register(ref); }, "registration " + name_);
    } else {
      answered();
    }
    if (error_code == kDNSServiceErr_NameConflict) {
      writeLog(kLogError, LOG_FILE, __LINE__, "bonjour_service failed name collision (%i)\n", error_code);
      state = collision;
    } else if (error_code != kDNSServiceErr_NoError) {
      writeLog(kLogError, LOG_FILE, __LINE__, "bonjour_service failed (%i)\n", error_code);
      state = failed;
    } else {
      state = registered;
    }
    callback(static_cast<int>(state));
  }

  const std::string name_;
  const std::string regtype_;
  const uint16_t port_;
  const dns_txt_records txt_;
};

namespace {

std::string registration_type(const std::string& type, const std::vector<std::string>& subtypes) {
  std::string regtype = type;
  for (const std::string& subtype : subtypes) {
    regtype += "," + subtype;
  }
  return regtype;
}

}  // namespace

bonjour_service::bonjour_service(const std::shared_ptr<bonjour_client>& owner, const std::string& name,
                                 const std::string& type, uint16_t port, const std::vector<std::string>& subtypes,
                                 const std::vector<std::string>& txt_entries, std::function<void(int)> callback)
    : service(callback) {
  auto running =
      std::make_shared<impl>(owner, std::move(callback), name, registration_type(type, subtypes), port, txt_entries);
  running->do_register();
  impl_ = std::move(running);
  impl_->add_dns_service();
}

bonjour_service::~bonjour_service() {
  impl_->end_operation();
  impl_->remove_dns_service();
}

std::shared_ptr<service> bonjour_client::register_service(const std::string& name, const std::string& type,
                                                          uint16_t port, const std::vector<std::string>& subtypes,
                                                          const std::vector<std::string>& txt_entries,
                                                          std::function<void(int)> state_callback) {
  return start_operation<service>(name, type, [&](const std::shared_ptr<bonjour_client>& self) {
    return std::make_shared<bonjour_service>(self, name, type, port, subtypes, txt_entries, std::move(state_callback));
  });
}

}  // namespace zeroconf
