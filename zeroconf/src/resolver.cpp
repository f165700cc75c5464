#include "zeroconf/src/resolver.h"

#include <arpa/inet.h>

#include <cstdio>
#include <stdexcept>

#include "log/console_log.h"
#include "zeroconf/src/bonjour_client.h"
#include "zeroconf/src/browser.h"
#include "zeroconf/src/callback_guard.h"
#include "zeroconf/src/dnssd_binding.h"
#include "zeroconf/src/monotonic_clock.h"
#include "zeroconf/src/platform_flags.h"
#include "zeroconf/src/poll_list.h"
#include "zeroconf/src/service_name.h"
#include "zeroconf/src/txt_records.h"

namespace zeroconf {

// The library's callbacks for a resolve and its address query; the context is the resolve's
// resolver_context, deleted by the step that ends the resolve.
struct resolve_callbacks {
  static void resolve_reply(DNSServiceRef, DNSServiceFlags, uint32_t interface_index, DNSServiceErrorType error_code,
                            const char* full_name, const char* host_target, uint16_t port, uint16_t txt_length,
                            const unsigned char* txt_data, void* context) {
    run_reply_guarded([&] {
      on_resolve_reply(interface_index, error_code, full_name, host_target, port, txt_length, txt_data,
                       static_cast<resolver_context*>(context));
    });
  }

  static void qr_reply(DNSServiceRef, DNSServiceFlags, uint32_t interface_index, DNSServiceErrorType error_code,
                       const char* full_name, uint16_t record_type, uint16_t record_class, uint16_t data_length,
                       const void* data, uint32_t, void* context) {
    run_reply_guarded([&] {
      on_qr_reply(interface_index, error_code, full_name, record_type, record_class, data_length, data,
                  static_cast<resolver_context*>(context));
    });
  }

  static void check_stale_query(void* context) {
    auto* resolve = static_cast<resolver_context*>(context);
    if (!resolve->started || monotonic_now_ns() - resolve->start_ns < bonjour_resolver::kStaleQueryAgeNs) {
      return;
    }
    const DNSServiceRef ref = resolve->resolver->sd_ref_;
    writeLog(kLogError, LOG_FILE, __LINE__,
             "Bonjour has left a query incomplete. We need to clean up the leftover socket: %d\n",
             ref != nullptr ? DNSServiceRefSockFD(ref) : -1);
    end_resolve(resolve);
  }

  // An address query left without an IPv4 answer ends after the client's limit; its resolve is
  // asked for again after the back-off while the instance is present.
  static void limit_query(bonjour_resolver& resolver) {
    poll_list& list = resolver.owner().polled();
    const std::chrono::milliseconds limit(list.address_query_limit_ms.load(std::memory_order_relaxed));
    std::weak_ptr<dns_service> weak = resolver.shared_from_this();
    list.schedule(limit, [weak, limit] {
      std::shared_ptr<dns_service> operation = weak.lock();
      if (!operation) {
        return;
      }
      auto& resolver = static_cast<bonjour_resolver&>(*operation);
      auto* resolve = static_cast<resolver_context*>(resolver.idle_context);
      if (resolve == nullptr) {
        return;
      }
      writeLog(kLogWarning, LOG_FILE, __LINE__, "no address for %s after %lld ms; resolving it again later\n",
               resolver.host_name_.c_str(), static_cast<long long>(limit.count()));
      end_resolve_for_retry(resolve, kDNSServiceErr_Timeout);
    });
  }

  static void end_resolve(resolver_context* resolve) { std::unique_ptr<resolver_context> ended(resolve); }

  // The resolve could not go on for a passing reason: it is asked for again later.
  static void end_resolve_for_retry(resolver_context* resolve, DNSServiceErrorType code) {
    resolve_request retry = resolve->resolver->request_;
    const std::shared_ptr<bonjour_client> owner = resolve->resolver->owner_handle();
    end_resolve(resolve);
    owner->polled().resolves->retry_later(std::move(retry), code);
  }

  static void on_resolve_reply(uint32_t interface_index, DNSServiceErrorType error_code, const char* full_name,
                               const char* host_target, uint16_t port, uint16_t txt_length,
                               const unsigned char* txt_data, resolver_context* resolve) {
    // The error comes first: error answers carry null texts. A host slow to answer makes avahi
    // give the resolve up: it is asked for again while the instance is present.
    if (error_code != kDNSServiceErr_NoError) {
      writeLogCategory("zeroconf_category", kLogError, LOG_FILE, __LINE__, "errorCode = %d\n", error_code);
      end_resolve_for_retry(resolve, error_code);
      return;
    }
    const std::string full = full_name != nullptr ? full_name : "";
    const size_t instance_end = find_instance_end(full);
    if (full_name == nullptr || instance_end == std::string::npos) {
      throw std::runtime_error("illegal service name");
    }
    bonjour_resolver& resolver = *resolve->resolver;
    resolver.interface_index_ = interface_index;
    resolver.name_ = unescape_service_name(full.substr(0, instance_end));
    resolver.host_name_ = host_target != nullptr ? host_target : "";
    resolver.port_ = ntohs(port);
    parse_txt_record(resolver.txt_entries_, txt_length, txt_data);

    // The query takes the resolve's place in the poll list.
    resolver.release_sd_ref();
    DNSServiceRef query = nullptr;
    const DNSServiceErrorType result =
        DNSServiceQueryRecord(&query, kQueryRecordFlags, interface_index, resolver.host_name_.c_str(),
                              kDNSServiceType_A, kDNSServiceClass_IN, &resolve_callbacks::qr_reply, resolve);
    resolver.store_sd_ref(result == kDNSServiceErr_NoError ? query : nullptr);
    resolve->started = true;
    resolve->start_ns = monotonic_now_ns();
    if (result == kDNSServiceErr_NoError) {
      limit_query(resolver);
      return;
    }
    writeLogCategory("zeroconf_category", kLogError, LOG_FILE, __LINE__, "DNSServiceQueryRecord failed (%d)\n", result);
    if (result == kDNSServiceErr_BadParam) {
      writeLog(kLogError, LOG_FILE, __LINE__,
               "DNSServiceQueryRecord failed (%i = wrong parameters)\nresolve_reply(n/a, %i, %s, %s, %u, %u, %p, "
               "%p)\nDNSServiceQueryRecord(%p, %i, %i, %s, %i, %i, %p, %p)\n",
               result, 0, full_name, resolver.host_name_.c_str(), static_cast<unsigned>(port),
               static_cast<unsigned>(txt_length), static_cast<const void*>(txt_data), static_cast<void*>(resolve),
               static_cast<void*>(&resolver.sd_ref_), 0, static_cast<int>(interface_index), resolver.host_name_.c_str(),
               1, 1, reinterpret_cast<void*>(&resolve_callbacks::qr_reply), static_cast<void*>(resolve));
    } else {
      writeLog(kLogError, LOG_FILE, __LINE__, "DNSServiceQueryRecord failed (%d)\n", result);
    }
    end_resolve_for_retry(resolve, result);
  }

  static void on_qr_reply(uint32_t interface_index, DNSServiceErrorType error_code, const char* full_name,
                          uint16_t record_type, uint16_t record_class, uint16_t data_length, const void* data,
                          resolver_context* resolve) {
    if (error_code != kDNSServiceErr_NoError) {
      writeLogCategory("zeroconf_category", kLogError, LOG_FILE, __LINE__, "errorCode = %d\n", error_code);
      end_resolve_for_retry(resolve, error_code);
      return;
    }
    if (data_length != 4 || data == nullptr) {
      writeLog(kLogError, LOG_FILE, __LINE__, "Bonjour DNSServiceQueryRecord IPV6 unmanaged qr_reply!\n");
      return;
    }
    const bonjour_resolver& resolver = *resolve->resolver;
    const auto* bytes = static_cast<const uint8_t*>(data);
    char address[16];
    std::snprintf(address, sizeof address, "%d.%d.%d.%d", bytes[0], bytes[1], bytes[2], bytes[3]);
    if (resolver.reconfirm_ && full_name != nullptr) {
      writeLog(kLogWarning, LOG_FILE, __LINE__,
               "%s seems out dated -> force daemon to verify the validity of this record\n", full_name);
      DNSServiceReconfirmRecord(kReconfirmFlags, interface_index, full_name, record_type, record_class, 4, data);
    }
    if (resolver.snapshot_ == *resolver.generation_) {
      resolver.listener_->service_resolved(resolver.interface_index_, resolver.name_.c_str(), resolver.regtype_.c_str(),
                                           resolver.host_name_.c_str(), address, resolver.port_, resolver.txt_entries_);
    }
    // The first address ends the resolve; a listener that threw leaves it waiting for another.
    end_resolve(resolve);
  }
};

bonjour_resolver::bonjour_resolver(std::shared_ptr<bonjour_client> owner, resolve_request request)
    : dns_service(std::move(owner)),
      regtype_(request.instance.regtype),
      listener_(request.listener),
      generation_(request.generation),
      snapshot_(request.snapshot),
      reconfirm_(request.reconfirm),
      request_(std::move(request)) {}

DNSServiceErrorType bonjour_resolver::start_resolve(std::shared_ptr<bonjour_resolver> resolver) {
  auto resolve = std::make_unique<resolver_context>();
  resolve->resolver = resolver;
  const browse_instances::key& instance = resolver->request_.instance;
  DNSServiceRef ref = nullptr;
  const DNSServiceErrorType result =
      DNSServiceResolve(&ref, kResolveFlags, instance.interface_index, instance.name.c_str(), instance.regtype.c_str(),
                        instance.domain.c_str(), &resolve_callbacks::resolve_reply, resolve.get());
  resolve->started = true;
  resolve->start_ns = monotonic_now_ns();
  resolver->idle_context = resolve.get();
  resolver->idle_hook = &resolve_callbacks::check_stale_query;
  if (result != kDNSServiceErr_NoError) {
    writeLogCategory("zeroconf_category", kLogError, LOG_FILE, __LINE__, "DNSServiceResolve() failed (%d)\n", result);
    resolver->idle_context = nullptr;
    return result;
  }
  resolver->sd_ref_ = ref;
  resolver->add_dns_service();
  // From here the context belongs to the running resolve.
  static_cast<void>(resolve.release());
  return result;
}

void bonjour_resolver::give_up_turn(bonjour_resolver& resolver) {
  auto* resolve = static_cast<resolver_context*>(resolver.idle_context);
  if (resolve != nullptr) {
    resolve_callbacks::end_resolve_for_retry(resolve, kDNSServiceErr_NoError);
  }
}

void bonjour_resolver::on_service_gone() {
  auto* resolve = static_cast<resolver_context*>(idle_context);
  if (resolve != nullptr) {
    resolve_callbacks::end_resolve_for_retry(resolve, kDNSServiceErr_ServiceNotRunning);
  }
}

resolver_context::~resolver_context() {
  if (resolver) {
    resolver->idle_context = nullptr;
    resolver->remove_dns_service();
    if (resolve_gate* gate = resolver->owner().polled().resolves.get()) {
      gate->finished(resolver.get());
    }
  }
}

}  // namespace zeroconf
