#include "zeroconf/src/resolve_gate.h"

#include <algorithm>

#include "zeroconf/src/bonjour_client.h"
#include "zeroconf/src/monotonic_clock.h"
#include "zeroconf/src/poll_list.h"
#include "zeroconf/src/resolver.h"

namespace zeroconf {
namespace {

constexpr int64_t kNanosecondsPerMillisecond = 1000000;

// Starts that fail for these reasons fail the same way every time.
bool retrying_can_help(int error_code) {
  return error_code != kDNSServiceErr_BadParam && error_code != kDNSServiceErr_Unsupported;
}

}  // namespace

void browse_instances::add(const key& instance) {
  if (!contains(instance)) {
    present.push_back(instance);
  }
}

void browse_instances::remove(const key& instance) {
  present.erase(std::remove(present.begin(), present.end(), instance), present.end());
}

bool browse_instances::contains(const key& instance) const {
  return std::find(present.begin(), present.end(), instance) != present.end();
}

bool resolve_request::wanted() const {
  return snapshot == *generation && !instances->ended.load(std::memory_order_relaxed) && instances->contains(instance);
}

void resolve_gate::submit(resolve_request request) {
  request.due_ns = monotonic_now_ns();
  if (running_.size() < kMaxResolvesInFlight && due_waiting(request.due_ns) == 0) {
    start(std::move(request));
  } else {
    // Newest first: an instance that just appeared gets the next free place even while a flood
    // of older ones, which may never answer, waits.
    waiting_.push_front(std::move(request));
  }
}

void resolve_gate::retry_later(resolve_request request, int error_code) {
  if (error_code == kDNSServiceErr_NoError) {
    request.due_ns = monotonic_now_ns();
  } else if (retrying_can_help(error_code)) {
    request.due_ns = monotonic_now_ns() + request.backoff.next(list_.delays()).count() * kNanosecondsPerMillisecond;
  } else {
    return;
  }
  waiting_.push_back(std::move(request));
}

void resolve_gate::finished(const bonjour_resolver* resolver) {
  running_.erase(std::remove_if(running_.begin(), running_.end(),
                                [&](const running_resolve& entry) { return entry.identity == resolver; }),
                 running_.end());
}

bool resolve_gate::pending(const browse_instances& instances, const browse_instances::key& instance) const {
  return std::any_of(running_.begin(), running_.end(),
                     [&](const running_resolve& entry) {
                       return entry.instances == &instances && entry.instance == instance && !entry.resolver.expired();
                     }) ||
         std::any_of(waiting_.begin(), waiting_.end(), [&](const resolve_request& request) {
           return request.instances.get() == &instances && request.instance == instance;
         });
}

void resolve_gate::end_all() {
  // Ending one removes it from running_.
  const std::vector<running_resolve> running = running_;
  for (const running_resolve& entry : running) {
    if (std::shared_ptr<bonjour_resolver> resolver = entry.resolver.lock()) {
      resolver->on_service_gone();
    }
  }
}

size_t resolve_gate::due_waiting(int64_t now) const {
  return static_cast<size_t>(std::count_if(waiting_.begin(), waiting_.end(),
                                           [&](const resolve_request& request) { return request.due_ns <= now; }));
}

void resolve_gate::tick() {
  // Requests whose instance went (or whose browse ended) are dropped.
  waiting_.erase(std::remove_if(waiting_.begin(), waiting_.end(),
                                [](const resolve_request& request) { return !request.wanted(); }),
                 waiting_.end());
  running_.erase(std::remove_if(running_.begin(), running_.end(),
                                [](const running_resolve& entry) { return entry.resolver.expired(); }),
                 running_.end());
  int64_t now = monotonic_now_ns();
  size_t due = due_waiting(now);
  if (due > 0 && running_.size() >= kMaxResolvesInFlight) {
    // The oldest resolves that have had their turn make room, as many as are waiting.
    const int64_t turn_ns = list_.resolve_turn_ms.load(std::memory_order_relaxed) * kNanosecondsPerMillisecond;
    std::vector<running_resolve> overdue;
    for (const running_resolve& entry : running_) {
      if (now - entry.since_ns >= turn_ns) {
        overdue.push_back(entry);
      }
    }
    std::sort(overdue.begin(), overdue.end(),
              [](const running_resolve& a, const running_resolve& b) { return a.since_ns < b.since_ns; });
    if (overdue.size() > due) {
      overdue.resize(due);
    }
    for (const running_resolve& entry : overdue) {
      if (std::shared_ptr<bonjour_resolver> resolver = entry.resolver.lock()) {
        bonjour_resolver::give_up_turn(*resolver);
      }
    }
    now = monotonic_now_ns();
  }
  // Start due requests in order while there is room; requests still waiting out a back-off keep
  // their place.
  for (auto request = waiting_.begin(); request != waiting_.end() && running_.size() < kMaxResolvesInFlight;) {
    if (request->due_ns > now) {
      ++request;
      continue;
    }
    resolve_request starting = std::move(*request);
    request = waiting_.erase(request);
    const size_t offset = static_cast<size_t>(request - waiting_.begin());
    start(std::move(starting));
    // A failed start queues its retry at the back, which may move the deque's storage.
    request = waiting_.begin() + static_cast<std::ptrdiff_t>(offset);
  }
}

void resolve_gate::start(resolve_request request) {
  if (!request.wanted()) {
    return;
  }
  std::shared_ptr<bonjour_client> owner = request.owner.lock();
  if (!owner) {
    return;
  }
  auto resolver = std::make_shared<bonjour_resolver>(owner, request);
  const DNSServiceErrorType result = bonjour_resolver::start_resolve(resolver);
  if (result == kDNSServiceErr_NoError) {
    running_.push_back(
        running_resolve{resolver, resolver.get(), monotonic_now_ns(), request.instances.get(), request.instance});
  } else {
    retry_later(std::move(request), result);
  }
}

}  // namespace zeroconf
