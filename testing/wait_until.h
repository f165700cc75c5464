#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace testing_support {

// Polls `condition` every `step` until it holds or `timeout` passes; the condition's last answer.
// `between` runs between polls (processEventsUntil passes one that runs the Qt event loop).
inline bool waitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds timeout = std::chrono::seconds(5),
                      std::chrono::milliseconds step = std::chrono::milliseconds(10),
                      const std::function<void()>& between = {}) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) {
      return condition();
    }
    if (between) {
      between();
    }
    std::this_thread::sleep_for(step);
  }
  return true;
}

}  // namespace testing_support
