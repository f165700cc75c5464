#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "agent/src/Agent.h"
#include "agent/tests/ConfigFixture.h"
#include "testing/wait_until.h"

namespace agent_testing {

using testing_support::waitUntil;

// Records every report of the agent, in order, thread-safely.
class RecordingListener : public lmr::Agent::Listener {
 public:
  void onAttached(const std::string& address) override { add("attached " + address); }
  void onDetached(const std::string& address) override { add("detached " + address); }
  void onNotification(const std::string& text) override { add("notification " + text); }
  void onEngineDied() override { add("died"); }

  [[nodiscard]] std::vector<std::string> events() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }
  // True once an event equal to wanted arrived; false after timeout.
  bool waitFor(const std::string& wanted, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
      for (const auto& event : events_) {
        if (event == wanted) return true;
      }
      return false;
    });
  }

 private:
  void add(std::string event) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      events_.push_back(std::move(event));
    }
    changed_.notify_all();
  }

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<std::string> events_;
};

// A private configuration; agents are built after it is written.
class AgentTest : public config_testing::ConfigTest {
 protected:
  std::unique_ptr<lmr::Agent> makeAgent(const std::string& configJson = "{}") {
    loadWith(configJson);
    auto agent = std::make_unique<lmr::Agent>();
    agent->addListener(&listener);
    return agent;
  }

  RecordingListener listener;
};

}  // namespace agent_testing
