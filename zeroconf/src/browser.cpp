#include "zeroconf/src/browser.h"

#include "log/console_log.h"
#include "zeroconf/src/bonjour_client.h"
#include "zeroconf/src/callback_guard.h"
#include "zeroconf/src/dns_text_check.h"
#include "zeroconf/src/dnssd_binding.h"
#include "zeroconf/src/platform_flags.h"
#include "zeroconf/src/resolve_gate.h"
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
        reconfirm_(reconfirm),
        instances_(std::make_shared<browse_instances>()) {}

  // Empty when the browse runs; else the failure of a start that waits for the DNS-SD service.
  std::string start(const std::string& regtype, uint32_t interface_index, const char* domain) {
    regtype_ = regtype;
    interface_index_ = interface_index;
    has_domain_ = domain != nullptr;
    domain_ = has_domain_ ? domain : "";
    return start_or_wait(
        "DNSServiceBrowse",
        is_acceptable_service_type(regtype_) && (!has_domain_ || is_acceptable_domain_name(domain_)),
        [this](DNSServiceRef* ref) { return call_browse(ref); }, "browse " + regtype_);
  }

  void on_service_gone() override { service_lost(); }

  // The handle went: queued resolves of this browse are dropped, a restart never comes.
  void end() {
    instances_->ended.store(true, std::memory_order_relaxed);
    end_operation();
  }

 private:
  DNSServiceErrorType call_browse(DNSServiceRef* ref) {
    return DNSServiceBrowse(ref, kBrowseFlags, interface_index_, regtype_.c_str(),
                            has_domain_ ? domain_.c_str() : nullptr, &impl::browse_reply, this);
  }

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
      writeLogCategory("zeroconf_category", kLogError, LOG_FILE, __LINE__, "errorCode = %d\n", error_code);
      if (means_service_gone(error_code)) {
        service_lost();
      }
      return;
    }
    answered();
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
    browse_instances::key instance{interface_index, name, regtype, domain != nullptr ? domain : ""};
    if ((flags & kDNSServiceFlagsAdd) != 0) {
      instances_->add(instance);
      resolve_request request;
      request.owner = owner_handle();
      request.listener = listener;
      request.generation = generation_;
      request.snapshot = *generation_;
      request.reconfirm = reconfirm_;
      request.instances = instances_;
      request.instance = std::move(instance);
      owner().polled().resolves->submit(std::move(request));
    } else {
      instances_->remove(instance);
      listener->service_removed(interface_index, name, regtype);
    }
  }

  // The browse will never answer again: what it reported is gone with the service, and the
  // browse starts again once the service answers.
  void service_lost() {
    // Resolves still in flight for the lost instances must not report them afterwards.
    ++*generation_;
    std::vector<browse_instances::key> lost;
    lost.swap(instances_->present);
    restart_later([this](DNSServiceRef* ref) { return call_browse(ref); }, "browse " + regtype_);
    for (const browse_instances::key& instance : lost) {
      run_reply_guarded([&] {
        listener->service_removed(instance.interface_index, instance.name.c_str(), instance.regtype.c_str());
      });
    }
  }

  const std::string name_filter_;
  const std::shared_ptr<uint32_t> generation_;
  const bool reconfirm_;
  const std::shared_ptr<browse_instances> instances_;
  std::string regtype_;
  uint32_t interface_index_ = 0;
  bool has_domain_ = false;
  std::string domain_;
};

bonjour_browser::bonjour_browser(const std::shared_ptr<bonjour_client>& owner, const std::string& name_filter,
                                 const std::string& regtype, uint32_t interface_index, const char* domain,
                                 std::shared_ptr<browser_listener> listener, bool reconfirm)
    : browser(std::move(listener)) {
  auto running = std::make_shared<impl>(owner, this->listener, name_filter, reconfirm);
  start_failure_ = running->start(regtype, interface_index, domain);
  impl_ = std::move(running);
  this->listener.reset();
  if (start_failure_.empty()) {
    impl_->add_dns_service();
  }
}

bonjour_browser::~bonjour_browser() {
  impl_->end();
  impl_->remove_dns_service();
}

std::string browse_regtype(const std::string& type, const std::string& subtype) {
  return subtype.empty() ? type : type + "," + subtype;
}

std::shared_ptr<browser> bonjour_client::browse(const std::string& name, const std::string& type,
                                                const std::string& domain, const std::string& subtype,
                                                std::shared_ptr<browser_listener> listener, bool reconfirm) {
  return start_operation<browser>(name, type, [&](const std::shared_ptr<bonjour_client>& self) {
    auto handle = std::make_shared<bonjour_browser>(self, name, browse_regtype(type, subtype), 0U, domain.c_str(),
                                                    std::move(listener), reconfirm);
    if (!handle->start_failure().empty()) {
      log_start_failure(name, type, handle->start_failure().c_str());
    }
    return handle;
  });
}

std::shared_ptr<browser> bonjour_client::browse(const std::string& name, const std::string& type,
                                                const std::string& subtype, std::shared_ptr<browser_listener> listener,
                                                bool reconfirm) {
  return start_operation<browser>(name, type, [&](const std::shared_ptr<bonjour_client>& self) {
    auto handle = std::make_shared<bonjour_browser>(self, name, browse_regtype(type, subtype), interface_index(),
                                                    nullptr, std::move(listener), reconfirm);
    if (!handle->start_failure().empty()) {
      log_start_failure(name, type, handle->start_failure().c_str());
    }
    return handle;
  });
}

}  // namespace zeroconf
