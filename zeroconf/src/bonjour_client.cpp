#include "zeroconf/src/bonjour_client.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>

#include "log/console_log.h"
#include "zeroconf/src/dns_service.h"
#include "zeroconf/src/dnssd_binding.h"
#include "zeroconf/src/monotonic_clock.h"
#include "zeroconf/src/resolve_gate.h"

namespace zeroconf {
namespace {

// One operation watched in this cycle, with the reference its descriptor belongs to.
struct watched_operation {
  std::weak_ptr<dns_service> operation;
  DNSServiceRef ref;
};

// A listed operation as collected: where its descriptor sits among the watched ones, or
// kNotWatched (no valid descriptor, or beyond the cap).
struct collected_operation {
  static constexpr size_t kNotWatched = static_cast<size_t>(-1);
  std::weak_ptr<dns_service> operation;
  size_t watched_index;
};

class poll_cycle {
 public:
  explicit poll_cycle(poll_list& list) : list_(list) {}

  void run() {
    collect();
    // The wake-up descriptor goes last, so the operations' indices stay as collected.
    const size_t operations = descriptors_.size();
    if (list_.wake.fd() >= 0) {
      descriptors_.push_back(pollfd{list_.wake.fd(), POLLIN, 0});
    }
    int ready = ::poll(descriptors_.data(), descriptors_.size(), wait_ms());
    if (list_.stop.load(std::memory_order_relaxed) || ready == 0) {
      return;
    }
    if (ready > 0 && descriptors_.size() > operations && descriptors_[operations].revents != 0) {
      list_.wake.drain();
      // Woken without a ready socket: a cycle like a time-out's, without idle hooks.
      if (--ready == 0) {
        return;
      }
    }
    if (ready < 0) {
      const int error = errno;
      char buffer[512];
      const char* text = strerror_r(error, buffer, sizeof buffer);
      if (text == nullptr || *text == '\0') {
        text = "Unable to find error message";
      }
      // The line keeps its established wording although the wait is poll(), which, unlike
      // select(), has no limit on descriptor values.
      writeLog(kLogError, LOG_FILE, __LINE__, "select() returned %d errno %d %s\n", ready, error, text);
      return;
    }
    sort(ready);
    for (const watched_operation& entry : ready_) {
      process(entry);
    }
    for (const std::weak_ptr<dns_service>& entry : idle_) {
      run_idle_hook(entry);
    }
  }

 private:
  // No time-out while nothing waits for time: an idle client sleeps until it is woken. Timed work
  // (scheduled calls, resolves waiting for a place, entries reported each cycle) keeps the
  // cycle's time-out; so does a client without a wake-up descriptor.
  [[nodiscard]] int wait_ms() const {
    return timed_ || list_.wake.fd() < 0 ? static_cast<int>(bonjour_client::kPollInterval.count()) : -1;
  }

  void collect() {
    // Strong references are dropped only after the lock, so no operation dies during the walk.
    std::vector<std::shared_ptr<dns_service>> alive;
    std::lock_guard<std::recursive_mutex> lock(list_.mutex);
    size_t valid = 0;
    for (const std::weak_ptr<dns_service>& entry : list_.entries) {
      try {
        std::shared_ptr<dns_service> operation = entry.lock();
        if (!operation) {
          continue;
        }
        collected_.push_back(collected_operation{operation, collected_operation::kNotWatched});
        const DNSServiceRef ref = operation->sd_ref_;
        const int fd = ref != nullptr ? DNSServiceRefSockFD(ref) : -1;
        if (fd == -1 || ref == nullptr) {
          writeLog(kLogError, LOG_FILE, __LINE__, "Invalid file descriptor or sd_ref_; fd = %i; sd_ref_ = %p\n", fd,
                   static_cast<void*>(ref));
          timed_ = true;
          alive.push_back(std::move(operation));
          continue;
        }
        if (descriptors_.size() < bonjour_client::kMaxWatchedSockets) {
          collected_.back().watched_index = descriptors_.size();
          descriptors_.push_back(pollfd{fd, POLLIN, 0});
          watched_.push_back(watched_operation{operation, ref});
        }
        // Every operation beyond the cap is reported, in every cycle.
        if (++valid > bonjour_client::kMaxWatchedSockets) {
          writeLog(kLogError, LOG_FILE, __LINE__, "fdset too small\n");
        }
        alive.push_back(std::move(operation));
      } catch (...) {
        writeLog(kLogError, LOG_FILE, __LINE__, "exception in DNSServiceRefSockFD.1\n");
      }
    }
    timed_ = timed_ || !list_.scheduled.empty() || list_.resolves->has_waiting();
  }

  // Listed entries in list order until the ready count is used up: ready ones are processed,
  // all others (unwatched ones included) get their idle hook. The descriptors recorded at
  // collection are tested, not queried again (a reused descriptor would mark the wrong one).
  void sort(int ready) {
    int budget = ready;
    for (size_t entry = 0; entry < collected_.size() && budget > 0; ++entry) {
      if (collected_[entry].operation.expired()) {
        continue;
      }
      const size_t index = collected_[entry].watched_index;
      const short events = index != collected_operation::kNotWatched ? descriptors_[index].revents : 0;
      if ((events & POLLNVAL) != 0) {
        --budget;
        report_invalid_descriptor(watched_[index], descriptors_[index].fd);
      } else if (events != 0) {
        --budget;
        ready_.push_back(watched_[index]);
      } else {
        idle_.push_back(collected_[entry].operation);
      }
    }
  }

  // A descriptor closed after collection belongs to an operation released meanwhile: no news.
  void report_invalid_descriptor(const watched_operation& entry, int fd) {
    std::shared_ptr<dns_service> operation = entry.operation.lock();
    std::lock_guard<std::recursive_mutex> lock(list_.mutex);
    if (operation && operation->sd_ref_ == entry.ref) {
      writeLog(kLogError, LOG_FILE, __LINE__, "Invalid file descriptor or sd_ref_; fd = %i; sd_ref_ = %p\n", fd,
               static_cast<void*>(entry.ref));
    }
  }

  void process(const watched_operation& entry) {
    std::shared_ptr<dns_service> operation = entry.operation.lock();
    if (!operation) {
      writeLog(kLogWarning, LOG_FILE, __LINE__, "dns_service has been destroyed\n");
      return;
    }
    {
      std::lock_guard<std::recursive_mutex> lock(list_.mutex);
      // Released or replaced since collection: its readiness belongs to another reference,
      // and the library would block reading a socket with nothing to read.
      if (operation->sd_ref_ != entry.ref) {
        return;
      }
      list_.in_process = operation.get();
    }
    DNSServiceErrorType result = kDNSServiceErr_NoError;
    try {
      result = DNSServiceProcessResult(entry.ref);
    } catch (...) {
      writeLog(kLogError, LOG_FILE, __LINE__, "exception in DNSServiceProcessResult\n");
    }
    std::vector<DNSServiceRef> deferred;
    {
      std::lock_guard<std::recursive_mutex> lock(list_.mutex);
      list_.in_process = nullptr;
      deferred.swap(list_.deferred_releases);
    }
    for (DNSServiceRef ref : deferred) {
      DNSServiceRefDeallocate(ref);
    }
    if (result != kDNSServiceErr_NoError) {
      writeLog(result == kDNSServiceErr_BadParam ? kLogOff : kLogError, LOG_FILE, __LINE__,
               "DNSServiceProcessResult returned %d\n", result);
    }
    // A closed connection stays readable: without this the operation would be processed, and
    // logged, in every cycle for ever. (avahi's library also answers kDNSServiceErr_Unknown for
    // passing trouble, so that code is left to the reply callbacks.)
    if ((result == kDNSServiceErr_ServiceNotRunning || result == kDNSServiceErr_DefunctConnection) &&
        operation->sd_ref_ == entry.ref) {
      try {
        operation->on_service_gone();
      } catch (...) {
        writeLog(kLogError, LOG_FILE, __LINE__, "exception in DNSServiceProcessResult\n");
      }
    }
  }

  static void run_idle_hook(const std::weak_ptr<dns_service>& entry) {
    std::shared_ptr<dns_service> operation = entry.lock();
    if (!operation || operation->idle_context == nullptr || !operation->idle_hook) {
      return;
    }
    try {
      operation->idle_hook(operation->idle_context);
    } catch (...) {
      writeLog(kLogError, LOG_FILE, __LINE__, "exception in DNSServiceProcessResult\n");
    }
  }

  poll_list& list_;
  std::vector<pollfd> descriptors_;
  std::vector<watched_operation> watched_;
  std::vector<collected_operation> collected_;
  std::vector<watched_operation> ready_;
  std::vector<std::weak_ptr<dns_service>> idle_;
  bool timed_ = false;
};

// Runs the scheduled calls whose time has come, with the lock released.
void run_scheduled(poll_list& list) {
  std::vector<poll_list::scheduled_call> due;
  {
    std::lock_guard<std::recursive_mutex> lock(list.mutex);
    const int64_t now = monotonic_now_ns();
    auto later = std::stable_partition(list.scheduled.begin(), list.scheduled.end(),
                                       [&](const poll_list::scheduled_call& entry) { return entry.due_ns <= now; });
    std::move(list.scheduled.begin(), later, std::back_inserter(due));
    list.scheduled.erase(list.scheduled.begin(), later);
  }
  for (poll_list::scheduled_call& entry : due) {
    if (list.stop.load(std::memory_order_relaxed)) {
      return;
    }
    try {
      entry.call();
    } catch (...) {
      writeLog(kLogError, LOG_FILE, __LINE__, "exception in DNSServiceProcessResult\n");
    }
  }
}

// Touches only the shared list, never the client: the client may be destroyed by a reply.
void poll_loop(std::shared_ptr<poll_list> list) {
  {
    std::lock_guard<std::recursive_mutex> lock(list->mutex);
    list->poll_thread_id = std::this_thread::get_id();
  }
  while (!list->stop.load(std::memory_order_relaxed)) {
    poll_cycle(*list).run();
    if (list->stop.load(std::memory_order_relaxed)) {
      break;
    }
    run_scheduled(*list);
    if (list->stop.load(std::memory_order_relaxed)) {
      break;
    }
    list->resolves->tick();
  }
}

}  // namespace

bonjour_client::bonjour_client(uint32_t interface_index)
    : interface_index_(interface_index), poll_list_(std::make_shared<poll_list>()) {
  poll_list_->resolves = std::make_shared<resolve_gate>(*poll_list_);
  poll_thread_ = std::thread(poll_loop, poll_list_);
}

void bonjour_client::set_retry_delays(const retry_delays& delays) {
  poll_list_->retry_first_ms.store(delays.first.count(), std::memory_order_relaxed);
  poll_list_->retry_limit_ms.store(delays.limit.count(), std::memory_order_relaxed);
}

void bonjour_client::set_resolve_turn(std::chrono::milliseconds turn) {
  poll_list_->resolve_turn_ms.store(turn.count(), std::memory_order_relaxed);
}

void bonjour_client::set_address_query_limit(std::chrono::milliseconds limit) {
  poll_list_->address_query_limit_ms.store(limit.count(), std::memory_order_relaxed);
}

void bonjour_client::set_follow_period(std::chrono::milliseconds period) {
  poll_list_->follow_period_ms.store(period.count(), std::memory_order_relaxed);
}

bonjour_client::~bonjour_client() {
  poll_list_->stop.store(true, std::memory_order_relaxed);
  poll_list_->wake.notify();
  if (!poll_thread_.joinable()) {
    return;
  }
  if (std::this_thread::get_id() == poll_thread_.get_id()) {
    writeLog(kLogInfo, LOG_FILE, __LINE__, "destroyed from poll_thread_\n");
    poll_thread_.detach();
  } else {
    poll_thread_.join();
  }
}

void bonjour_client::log_start_failure(const std::string& name, const std::string& type, const char* text) const {
  writeLog(kLogError, LOG_FILE, __LINE__, "[%i] %s  %s; runtime error %s\n", static_cast<int>(interface_index_),
           name.c_str(), type.c_str(), text != nullptr && *text != '\0' ? text : "Unknown exception");
}

void poll_list::schedule(std::chrono::milliseconds delay, std::function<void()> call) {
  const int64_t due = monotonic_now_ns() + std::chrono::duration_cast<std::chrono::nanoseconds>(delay).count();
  std::lock_guard<std::recursive_mutex> lock(mutex);
  scheduled.push_back(scheduled_call{due, std::move(call)});
  wake.notify();
}

client* create_client(int32_t interface_index) {
  return new bonjour_client(interface_index < 0 ? 0U : static_cast<uint32_t>(interface_index));
}

}  // namespace zeroconf
