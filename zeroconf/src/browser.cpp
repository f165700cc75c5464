#include "zeroconf/src/browser.h"

#include <stdexcept>

#include "log/console_log.h"
#include "zeroconf/src/bonjour_client.h"
#include "zeroconf/src/callback_guard.h"
#include "zeroconf/src/dnssd_binding.h"
#include "zeroconf/src/platform_flags.h"
#include "zeroconf/src/resolver.h"

namespace zeroconf {

// The running browse.
class bonjour_browser::impl final : public browser, public dns_service {
 public:
  impl(const std::shared_ptr<bonjour_client>& owner, std::shared_ptr<browser_listener> listener,
       std::string name_filter, bool reconfirm)
      : browser(std::move(listener)),
        dns_service(owner),
        name_filter_(std::move(name_filter)),
        generation_(std::make_shared<uint32_t>(0)),
        reconfirm_(reconfirm) {}

  void start(const std::string& regtype, uint32_t interface_index, const char* domain) {
    DNSServiceRef ref = nullptr;
    const DNSServiceErrorType result =
        DNSServiceBrowse(&ref, kBrowseFlags, interface_index, regtype.c_str(), domain, &impl::browse_reply, this);
    if (result != kDNSServiceErr_NoError) {
      throw std::runtime_error("DNSServiceBrowse() failed (" + std::to_string(result) + ").");
    }
    sd_ref_ = ref;
  }

 private:
  static void browse_reply(DNSServiceRef, DNSServiceFlags flags, uint32_t interface_index,
                           DNSServiceErrorType error_code, const char* name, const char* regtype, const char* domain,
                           void* context) {
    run_reply_guarded([&] {
      static_cast<impl*>(context)->on_browse_reply(flags, interface_index, error_code, name, regtype, domain);
    });
  }

  void on_browse_reply(DNSServiceFlags flags, uint32_t interface_index, DNSServiceErrorType error_code,
                       const char* name, const char* regtype, const char* domain) {
    if (error_code != kDNSServiceErr_NoError) {
      writeLogCategory("zeroconf_category", 3, LOG_FILE, __LINE__, "errorCode = %d\n", error_code);
      return;
    }
    // Error answers may come without texts; a success without them names nothing.
    if (name == nullptr || regtype == nullptr) {
      return;
    }
    if (!name_filter_.empty()) {
      if (name_filter_ != name) {
        return;
      }
      ++*generation_;
    }
    if ((flags & kDNSServiceFlagsAdd) != 0) {
      auto resolver =
          std::make_shared<bonjour_resolver>(owner_handle(), regtype, listener, generation_, reconfirm_);
      bonjour_resolver::start_resolve(std::move(resolver), interface_index, name, regtype, domain);
    } else {
      listener->service_removed(interface_index, name, regtype);
    }
  }

  const std::string name_filter_;
  const std::shared_ptr<uint32_t> generation_;
  const bool reconfirm_;
};

bonjour_browser::bonjour_browser(const std::shared_ptr<bonjour_client>& owner, const std::string& name_filter,
                                 const std::string& regtype, uint32_t interface_index, const char* domain,
                                 std::shared_ptr<browser_listener> listener, bool reconfirm)
    : browser(std::move(listener)) {
  auto running = std::make_shared<impl>(owner, this->listener, name_filter, reconfirm);
  running->start(regtype, interface_index, domain);
  impl_ = std::move(running);
  this->listener.reset();
  impl_->add_dns_service();
}

bonjour_browser::~bonjour_browser() {
  impl_->remove_dns_service();
}

std::string browse_regtype(const std::string& type, const std::string& subtype) {
  return subtype.empty() ? type : type + "," + subtype;
}

std::shared_ptr<browser> bonjour_client::browse(const std::string& name, const std::string& type,
                                                const std::string& domain, const std::string& subtype,
                                                std::shared_ptr<browser_listener> listener, bool reconfirm) {
  return start_operation<browser>(name, type, [&](const std::shared_ptr<bonjour_client>& self) {
    return std::make_shared<bonjour_browser>(self, name, browse_regtype(type, subtype), 0U, domain.c_str(),
                                             std::move(listener), reconfirm);
  });
}

std::shared_ptr<browser> bonjour_client::browse(const std::string& name, const std::string& type,
                                                const std::string& subtype,
                                                std::shared_ptr<browser_listener> listener, bool reconfirm) {
  return start_operation<browser>(name, type, [&](const std::shared_ptr<bonjour_client>& self) {
    return std::make_shared<bonjour_browser>(self, name, browse_regtype(type, subtype), interface_index(), nullptr,
                                             std::move(listener), reconfirm);
  });
}

}  // namespace zeroconf
