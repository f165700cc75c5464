#pragma once

// Shared helpers of the vextro tests: a private log folder per test and quick proxy timings.

#include <chrono>
#include <string>
#include <thread>

#include "plugins/vextro/src/PluginLog.h"
#include "plugins/vextro/src/Timings.h"
#include "testing/temp_dir.h"
#include "testing/wait_until.h"

namespace vextro_test {

using testing_support::waitUntil;

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

}  // namespace vextro_test
