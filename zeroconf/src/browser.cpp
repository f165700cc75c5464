#include "zeroconf/src/browser.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <utility>

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

  // As start, with the DNS-SD call made on the poll thread; a refused start is logged there.
  void start_in_background(const std::string& regtype, uint32_t interface_index, std::string name_prefix) {
    name_prefix_ = std::move(name_prefix);
    regtype_ = regtype;
    interface_index_ = interface_index;
    std::weak_ptr<bonjour_client> client = owner_handle();
    start_on_poll_thread(
        "DNSServiceBrowse", is_acceptable_service_type(regtype_),
        [this](DNSServiceRef* ref) { return call_browse(ref); }, "browse " + regtype_,
        [client, regtype](const std::string& failure) {
          if (std::shared_ptr<bonjour_client> owner = client.lock()) {
            owner->log_start_failure("", regtype, failure.c_str());
          }
        });
  }

  void on_service_gone() override { service_lost(); }
  void on_started() override { running_.store(true, std::memory_order_relaxed); }
  void mark_running() { running_.store(true, std::memory_order_relaxed); }
  [[nodiscard]] bool is_running() const { return running_.load(std::memory_order_relaxed); }

  void follow_instance(uint32_t interface_index, const std::string& name) {
    bool schedule = false;
    {
      std::lock_guard<std::mutex> lock(follow_mutex_);
      followed_ = {interface_index, name};
      schedule = !name.empty() && !follow_scheduled_;
      follow_scheduled_ = follow_scheduled_ || schedule;
    }
    if (schedule) {
      schedule_follow();
    }
  }

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
    if (std::strncmp(name, name_prefix_.c_str(), name_prefix_.size()) != 0) {
      return;
    }
    browse_instances::key instance{interface_index, name, regtype, domain != nullptr ? domain : ""};
    if ((flags & kDNSServiceFlagsAdd) != 0) {
      instances_->add(instance);
      submit_resolve(std::move(instance));
    } else {
      instances_->remove(instance);
      listener->service_removed(interface_index, name, regtype);
    }
  }

  void submit_resolve(browse_instances::key instance) {
    resolve_request request;
    request.owner = owner_handle();
    request.listener = listener;
    request.generation = generation_;
    request.snapshot = *generation_;
    request.reconfirm = reconfirm_;
    request.instances = instances_;
    request.instance = std::move(instance);
    owner().polled().resolves->submit(std::move(request));
  }

  void schedule_follow() {
    poll_list& list = owner().polled();
    std::weak_ptr<dns_service> weak_self = shared_from_this();
    list.schedule(std::chrono::milliseconds(list.follow_period_ms.load(std::memory_order_relaxed)), [weak_self] {
      if (std::shared_ptr<dns_service> self = weak_self.lock()) {
        static_cast<impl&>(*self).follow_tick();
      }
    });
  }

  // Poll thread: the followed instance is resolved again unless a resolve of it is under way.
  void follow_tick() {
    std::pair<uint32_t, std::string> followed;
    {
      std::lock_guard<std::mutex> lock(follow_mutex_);
      if (followed_.second.empty() || instances_->ended.load(std::memory_order_relaxed)) {
        follow_scheduled_ = false;
        return;
      }
      followed = followed_;
    }
    resolve_gate& gate = *owner().polled().resolves;
    for (const browse_instances::key& instance : instances_->present) {
      if (instance.interface_index == followed.first && instance.name == followed.second &&
          !gate.pending(*instances_, instance)) {
        submit_resolve(instance);
      }
    }
    schedule_follow();
  }

  // The browse will never answer again: what it reported is gone with the service, and the
  // browse starts again once the service answers.
  void service_lost() {
    running_.store(false, std::memory_order_relaxed);
    // Resolves still in flight for the lost instances must not report them afterwards.
    ++*generation_;
    std::vector<browse_instances::key> lost;
    lost.swap(instances_->present);
    // Their references go now, before the library reports the loss on them too: avahi's does so
    // through callback fields it never set.
    owner().polled().resolves->end_all();
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
  std::string name_prefix_;  // set before the browse starts
  std::atomic<bool> running_{false};
  std::mutex follow_mutex_;  // guards the two below; a leaf
  std::pair<uint32_t, std::string> followed_;
  bool follow_scheduled_ = false;
};

bonjour_browser::bonjour_browser(const std::shared_ptr<bonjour_client>& owner, const std::string& name_filter,
                                 const std::string& regtype, uint32_t interface_index, const char* domain,
                                 std::shared_ptr<browser_listener> listener, bool reconfirm, browse_options options)
    : browser(std::move(listener)) {
  auto running = std::make_shared<impl>(owner, this->listener, name_filter, reconfirm);
  if (options.in_background) {
    running->start_in_background(regtype, interface_index, std::move(options.name_prefix));
    impl_ = std::move(running);
    this->listener.reset();
    return;
  }
  start_failure_ = running->start(regtype, interface_index, domain);
  impl_ = std::move(running);
  this->listener.reset();
  if (start_failure_.empty()) {
    impl_->mark_running();
    impl_->add_dns_service();
  }
}

bool bonjour_browser::running() const { return impl_->is_running(); }

void bonjour_browser::follow(uint32_t interface_index, const std::string& name) {
  impl_->follow_instance(interface_index, name);
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

std::shared_ptr<browser> bonjour_client::browse_in_background(const std::string& type, const std::string& subtype,
                                                              const std::string& name_prefix,
                                                              std::shared_ptr<browser_listener> listener) {
  return start_operation<browser>("", type, [&](const std::shared_ptr<bonjour_client>& self) {
    return std::make_shared<bonjour_browser>(self, "", browse_regtype(type, subtype), interface_index(), nullptr,
                                             std::move(listener), false, browse_options{true, name_prefix});
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
