#pragma once

#include <cstdint>

namespace zeroconf {

using monotonic_clock_function = int64_t (*)();

// Nanoseconds of the monotonic clock, or of the clock a test installed.
int64_t monotonic_now_ns();

// Test seam for the long waits (a resolve is dropped after 300 s); null restores the real clock.
void set_monotonic_clock(monotonic_clock_function clock);

}  // namespace zeroconf
