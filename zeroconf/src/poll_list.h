#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "zeroconf/src/dnssd_api.h"
#include "zeroconf/src/retry_backoff.h"
#include "zeroconf/src/wake_signal.h"

namespace zeroconf {

class dns_service;
class resolve_gate;

// What the poll thread shares with the client and its operations. The poll thread owns a share
// of it, so the loop can finish its cycle safely after the client was destroyed on that thread.
struct poll_list {
  // Guards everything below except `stop`. Recursive: dropping a strong reference while it is
  // held can destroy an operation whose destructor removes itself.
  std::recursive_mutex mutex;
  // Running operations in the order they were added; the list does not keep them alive.
  std::vector<std::weak_ptr<dns_service>> entries;
  std::atomic<bool> stop{false};
  // Notified when the poll thread has new work: an entry added or removed, a call scheduled, stop.
  wake_signal wake;
  std::thread::id poll_thread_id;
  // The operation whose reply the poll thread is processing outside the lock.
  const dns_service* in_process = nullptr;
  // References released by other threads during that processing; the poll thread frees them
  // once DNSServiceProcessResult returned.
  std::vector<DNSServiceRef> deferred_releases;

  // Work the poll thread does once its time has come (starting an operation again), in the
  // order it was scheduled, with the lock released.
  struct scheduled_call {
    int64_t due_ns;
    std::function<void()> call;
  };
  std::vector<scheduled_call> scheduled;

  // Waits before an operation is started again; settable per client (tests use short ones).
  std::atomic<int64_t> retry_first_ms{retry_delays::kFirst.count()};
  std::atomic<int64_t> retry_limit_ms{retry_delays::kLimit.count()};
  // How long a resolve may hold its place while others wait for one. Longer than the 5 s after
  // which avahi itself gives an unanswered resolve up, so that only a library that never does
  // (Bonjour) has its resolves taken back and repeated.
  static constexpr std::chrono::milliseconds kResolveTurn{10000};
  std::atomic<int64_t> resolve_turn_ms{kResolveTurn.count()};
  // An address query without an IPv4 answer this long ends, and its resolve is asked for again
  // after the back-off: an open query is what a daemon restart hits (see dnssd_allocator.h), and
  // a host that never answers would hold one for minutes.
  static constexpr std::chrono::milliseconds kAddressQueryLimit{10000};
  std::atomic<int64_t> address_query_limit_ms{kAddressQueryLimit.count()};
  // How often a followed instance is resolved again.
  static constexpr std::chrono::milliseconds kFollowPeriod{2000};
  std::atomic<int64_t> follow_period_ms{kFollowPeriod.count()};

  [[nodiscard]] retry_delays delays() const {
    return retry_delays{std::chrono::milliseconds(retry_first_ms.load(std::memory_order_relaxed)),
                        std::chrono::milliseconds(retry_limit_ms.load(std::memory_order_relaxed))};
  }
  // Has `call` run on the poll thread after `delay`.
  void schedule(std::chrono::milliseconds delay, std::function<void()> call);

  // The resolves of this client's browses: used on the poll thread only.
  std::shared_ptr<resolve_gate> resolves;
};

}  // namespace zeroconf
