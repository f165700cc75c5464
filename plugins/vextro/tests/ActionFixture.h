#pragma once

// A proxy on a simulated device whose refresh thread stays asleep: tests run cycles themselves
// with RunRefreshCycle(), so every device request in a test is one the test caused.

#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "plugins/vextro/src/DeviceModels.h"
#include "plugins/vextro/src/RavennaDeviceProxy.h"
#include "plugins/vextro/tests/TestSupport.h"
#include "testing/vextro_sim/sim_device.h"

namespace vextro_test {

using WireParameters = std::vector<std::pair<std::string, std::string>>;

// The change texts a proxy reported, in order.
class ChangeInbox {
 public:
  void Add(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    texts_.push_back(text);
  }
  [[nodiscard]] std::vector<std::string> Texts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return texts_;
  }
  // All records of all texts, flattened.
  [[nodiscard]] Vextro::Json Records() const {
    Vextro::Json all = Vextro::Json::array();
    for (const std::string& text : Texts()) {
      for (const auto& record : Vextro::Json::parse(text)) all.push_back(record);
    }
    return all;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> texts_;
};

class ActionTest : public ::testing::Test {
 protected:
  static constexpr uint32_t kProxyId = 7;

  // Builds the proxy; a test may change the simulated device first.
  void StartProxy(const std::string& host = "127.0.0.1", uint16_t port = 0) {
    proxy = std::make_unique<Vextro::RavennaDeviceProxy>(kProxyId, host, port == 0 ? device->port() : port,
                                                         std::make_shared<Vextro::CantorConfig>(), Timings());
    connection = proxy->GetChangeSignal().connect([this](const std::string& text) { inbox.Add(text); });
    device->clearRequests();
    log.clear();
  }

  // Long refresh period (cycles are run by hand), quick polls and requests.
  static Vextro::Timings Timings() {
    Vextro::Timings timings = FastTimings(60000);
    timings.autoConfigurePoll = std::chrono::milliseconds(20);
    timings.autoConfigureLimit = std::chrono::milliseconds(300);
    return timings;
  }

  [[nodiscard]] int32_t Apply(const std::string& actionList) { return proxy->ApplyActionList(actionList); }

  [[nodiscard]] std::vector<vextro_sim::RecordedRequest> Requests(const std::string& path) const {
    std::vector<vextro_sim::RecordedRequest> found;
    for (const auto& request : device->requests()) {
      if (request.path == path) found.push_back(request);
    }
    return found;
  }
  [[nodiscard]] std::vector<WireParameters> Saves() const {
    std::vector<WireParameters> saves;
    for (const auto& request : Requests("/save.htm")) saves.push_back(request.parameters);
    return saves;
  }
  [[nodiscard]] Vextro::Json State() const { return Vextro::Json::parse(proxy->GetStateText()); }
  [[nodiscard]] bool Logged(const std::string& part) const { return log.contains(part); }

  ScopedPluginLog log;
  std::unique_ptr<vextro_sim::SimDevice> device = std::make_unique<vextro_sim::SimDevice>();
  ChangeInbox inbox;
  std::unique_ptr<Vextro::RavennaDeviceProxy> proxy;
  boost::signals2::scoped_connection connection;
};

// A fault on every request of a page from the (after + 1)-th on.
inline vextro_sim::PageFault StatusFault(int statusCode, std::size_t after = 0) {
  vextro_sim::PageFault fault;
  fault.statusCode = statusCode;
  fault.afterRequests = after;
  return fault;
}

}  // namespace vextro_test
