#pragma once

// Every long wait of the plug-in, with the production values as defaults. Tests and benchmarks
// shorten them through the environment variable VEXTRO_TIMINGS, read once when the plug-in loads,
// or pass them to the constructors directly.

#include <chrono>
#include <string>

namespace Vextro {

inline constexpr const char* kTimingsEnvironmentVariable = "VEXTRO_TIMINGS";

struct Timings {
  // Wait between two refresh cycles of a proxy.
  std::chrono::milliseconds refreshPeriod{5000};
  // Receiver auto-configuration: pause between status polls and the give-up limit.
  std::chrono::milliseconds autoConfigurePoll{1000};
  std::chrono::milliseconds autoConfigureLimit{10000};
  // Device requests: connect, and the whole request from connect to the last byte read.
  std::chrono::milliseconds connectTimeout{2000};
  std::chrono::milliseconds requestTimeout{5000};

  // "period=300,poll=50,limit=500,connect=500,request=1000" (milliseconds; any subset, any order).
  // Unknown keys and unreadable numbers are ignored and keep their defaults.
  [[nodiscard]] static Timings Parse(const std::string& text);
  [[nodiscard]] static Timings FromEnvironment();
};

}  // namespace Vextro
