#pragma once

// Shared helpers of the vextro tests: a private log folder per test and quick proxy timings.

#include <chrono>
#include <string>
#include <thread>

#include "plugins/vextro/src/PluginLog.h"
#include "plugins/vextro/src/Timings.h"
#include "testing/temp_dir.h"

namespace vextro_test {

// Points the plug-in log at a fresh folder for the test's lifetime.
class ScopedPluginLog {
 public:
  ScopedPluginLog() : appData_("APPDATA", folder_.path()) { Vextro::ReopenLog(Vextro::kPluginLogName); }
  ~ScopedPluginLog() { Vextro::ReopenLog(Vextro::kPluginLogName); }

  [[nodiscard]] std::string text() const { return testing_support::readFile(Vextro::CurrentLogPath()); }
  [[nodiscard]] bool contains(const std::string& part) const { return text().find(part) != std::string::npos; }
  [[nodiscard]] const std::string& folder() const { return folder_.path(); }
  // Forgets what was logged so far.
  void clear() const { testing_support::writeFile(Vextro::CurrentLogPath(), ""); }

 private:
  testing_support::TempDir folder_;
  testing_support::ScopedEnv appData_;
};

// Short timings so a proxy test runs in well under a second per cycle.
inline Vextro::Timings FastTimings(int periodMs = 100) {
  Vextro::Timings timings;
  timings.refreshPeriod = std::chrono::milliseconds(periodMs);
  timings.autoConfigurePoll = std::chrono::milliseconds(20);
  timings.autoConfigureLimit = std::chrono::milliseconds(200);
  timings.connectTimeout = std::chrono::milliseconds(500);
  timings.requestTimeout = std::chrono::milliseconds(800);
  return timings;
}

// Polls `condition` every 10 ms until it holds or `limit` passes.
template <typename Condition>
bool WaitFor(Condition condition, std::chrono::milliseconds limit = std::chrono::milliseconds(3000)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return condition();
}

}  // namespace vextro_test
