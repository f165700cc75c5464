#include "zeroconf/src/dns_service.h"

#include <stdexcept>
#include <string>

#include "log/console_log.h"
#include "zeroconf/src/bonjour_client.h"
#include "zeroconf/src/dnssd_binding.h"

namespace zeroconf {

namespace {

std::runtime_error start_failure(const char* call, DNSServiceErrorType code) {
  return std::runtime_error(std::string(call) + "() failed (" + std::to_string(code) + ").");
}

}  // namespace

dns_service::dns_service(std::shared_ptr<bonjour_client> owner) : client_(std::move(owner)) {}

dns_service::~dns_service() {
  remove_dns_service();
  client_.reset();
  idle_hook = nullptr;
}

void dns_service::add_dns_service() {
  poll_list& list = client_->polled();
  std::lock_guard<std::recursive_mutex> lock(list.mutex);
  list.entries.push_back(std::weak_ptr<dns_service>(shared_from_this()));
  list.wake.notify();
}

void dns_service::remove_dns_service() {
  poll_list& list = client_->polled();
  DNSServiceRef released = nullptr;
  {
    std::lock_guard<std::recursive_mutex> lock(list.mutex);
    for (auto entry = list.entries.begin(); entry != list.entries.end(); ++entry) {
      std::shared_ptr<dns_service> listed = entry->lock();
      if (!listed) {
        writeLog(kLogError, LOG_FILE, __LINE__,
                 "dns_service::remove_dns_service: must have been called before shared_ptr's counter reaches 0\n");
      } else if (listed.get() == this) {
        list.entries.erase(entry);
        list.wake.notify();  // the poll thread stops watching the socket now, not at its next wake-up
        break;
      }
    }
    released = take_sd_ref_locked();
  }
  if (released != nullptr) {
    DNSServiceRefDeallocate(released);
  }
}

void dns_service::end_operation() { ended_.store(true, std::memory_order_relaxed); }

void dns_service::restart_later(start_function start, std::string what) {
  remove_dns_service();
  schedule_restart(std::move(start), std::move(what));
}

void dns_service::schedule_restart(start_function start, std::string what) {
  const std::chrono::milliseconds delay = restart_backoff_.next(client_->polled().delays());
  writeLog(kLogWarning, LOG_FILE, __LINE__, "%s: DNS-SD service lost; starting again in %lld ms\n", what.c_str(),
           static_cast<long long>(delay.count()));
  schedule_start(delay, nullptr, std::move(start), std::move(what), nullptr);
}

void dns_service::schedule_start(std::chrono::milliseconds delay, const char* call, start_function start,
                                 std::string what, failure_report report) {
  std::weak_ptr<dns_service> weak_self = shared_from_this();
  client_->polled().schedule(delay, [weak_self, call, start = std::move(start), what = std::move(what),
                                     report = std::move(report)]() mutable {
    std::shared_ptr<dns_service> self = weak_self.lock();
    if (!self || self->ended_.load(std::memory_order_relaxed)) {
      return;
    }
    DNSServiceRef ref = nullptr;
    const DNSServiceErrorType result = start(&ref);
    if (result != kDNSServiceErr_NoError) {
      if (report) {
        report(start_failure(call, result).what());
        // Without a library, or for a request the service refuses, nothing will ever answer.
        if (!means_service_gone(result) || !dnssd_loaded()) {
          return;
        }
      }
      self->schedule_restart(std::move(start), std::move(what));
      return;
    }
    poll_list& list = self->client_->polled();
    {
      std::lock_guard<std::recursive_mutex> lock(list.mutex);
      if (!self->ended_.load(std::memory_order_relaxed)) {
        self->sd_ref_ = ref;
        list.entries.push_back(weak_self);
        ref = nullptr;
      }
    }
    if (ref != nullptr) {
      // Released while it was starting: no trace of it may stay on the network.
      DNSServiceRefDeallocate(ref);
      return;
    }
    if (!report) {
      writeLog(kLogInfo, LOG_FILE, __LINE__, "%s: started again\n", what.c_str());
    }
    self->on_started();
  });
}

DNSServiceRef dns_service::take_sd_ref_locked() {
  poll_list& list = client_->polled();
  DNSServiceRef ref = sd_ref_;
  sd_ref_ = nullptr;
  if (ref != nullptr && list.in_process == this && std::this_thread::get_id() != list.poll_thread_id) {
    // The poll thread is inside DNSServiceProcessResult on this reference.
    list.deferred_releases.push_back(ref);
    return nullptr;
  }
  return ref;
}

void dns_service::release_sd_ref() {
  DNSServiceRef released = nullptr;
  {
    std::lock_guard<std::recursive_mutex> lock(client_->polled().mutex);
    released = take_sd_ref_locked();
  }
  if (released != nullptr) {
    DNSServiceRefDeallocate(released);
  }
}

DNSServiceErrorType dns_service::first_start(bool acceptable, const start_function& start) {
  if (!acceptable) {
    return kDNSServiceErr_BadParam;
  }
  DNSServiceRef ref = nullptr;
  const DNSServiceErrorType result = start(&ref);
  if (result == kDNSServiceErr_NoError) {
    sd_ref_ = ref;
  }
  return result;
}

void dns_service::start_or_throw(const char* call, bool acceptable, const start_function& start) {
  const DNSServiceErrorType result = first_start(acceptable, start);
  if (result != kDNSServiceErr_NoError) {
    throw start_failure(call, result);
  }
}

std::string dns_service::start_or_wait(const char* call, bool acceptable, start_function start, std::string what) {
  const DNSServiceErrorType result = first_start(acceptable, start);
  if (result == kDNSServiceErr_NoError) {
    return {};
  }
  // Without a library nothing will ever answer.
  if (!means_service_gone(result) || !dnssd_loaded()) {
    throw start_failure(call, result);
  }
  schedule_restart(std::move(start), std::move(what));
  return start_failure(call, result).what();
}

void dns_service::start_on_poll_thread(const char* call, bool acceptable, start_function start, std::string what,
                                       failure_report report) {
  if (!acceptable) {
    throw start_failure(call, kDNSServiceErr_BadParam);
  }
  schedule_start(std::chrono::milliseconds(0), call, std::move(start), std::move(what), std::move(report));
}

void dns_service::store_sd_ref(DNSServiceRef ref) {
  std::lock_guard<std::recursive_mutex> lock(client_->polled().mutex);
  sd_ref_ = ref;
}

}  // namespace zeroconf
