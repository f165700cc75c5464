#include "zeroconf/src/monotonic_clock.h"

#include <atomic>
#include <chrono>

namespace zeroconf {
namespace {

std::atomic<monotonic_clock_function> installed_clock{nullptr};

}  // namespace

int64_t monotonic_now_ns() {
  if (monotonic_clock_function clock = installed_clock.load(std::memory_order_acquire)) {
    return clock();
  }
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void set_monotonic_clock(monotonic_clock_function clock) { installed_clock.store(clock, std::memory_order_release); }

}  // namespace zeroconf
