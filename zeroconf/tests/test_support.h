#pragma once

// Shared by the zeroconf tests: listeners that record what they are told, and waiting helpers.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "testing/wait_until.h"
#include "zeroconf/src/browser.h"
#include "zeroconf/src/hostname_browser.h"

namespace zeroconf_test {

using testing_support::waitUntil;

using namespace std::chrono_literals;

struct browse_event {
  bool resolved = false;  // else removed
  uint32_t interface_index = 0;
  std::string name;
  std::string regtype;
  std::string host_name;
  std::string address;
  uint16_t port = 0;
  std::vector<std::string> txt;
  std::thread::id thread;
};

// Records every call; with a name prefix, other names (foreign services) are ignored.
class recording_listener : public zeroconf::browser_listener {
 public:
  explicit recording_listener(std::string name_prefix = "") : prefix_(std::move(name_prefix)) {}

  void service_resolved(uint32_t interface_index, const char* name, const char* regtype, const char* host_name,
                        const char* address, uint16_t port, const std::vector<std::string>& txt) override {
    record({true, interface_index, name, regtype, host_name, address, port, txt, std::this_thread::get_id()});
  }
  void service_removed(uint32_t interface_index, const char* name, const char* regtype) override {
    record({false, interface_index, name, regtype, "", "", 0, {}, std::this_thread::get_id()});
  }

  // Waits until at least `count` events arrived; gives a copy of all of them.
  std::vector<browse_event> wait_for(size_t count, std::chrono::milliseconds timeout = 5s) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, timeout, [&] { return events_.size() >= count; });
    return events_;
  }
  std::vector<browse_event> events() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }

  // Runs on the poll thread after each recorded event (may throw or block).
  std::function<void(const browse_event&)> on_event;

 private:
  void record(const browse_event& event) {
    if (!prefix_.empty() && event.name.compare(0, prefix_.size(), prefix_) != 0) {
      return;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      events_.push_back(event);
    }
    changed_.notify_all();
    if (on_event) {
      on_event(event);
    }
  }

  const std::string prefix_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<browse_event> events_;
};

struct hostname_event {
  bool resolved = false;
  uint32_t interface_index = 0;
  std::string host_name;
  std::string address;
};

class recording_hostname_listener : public zeroconf::hostname_browser_listener {
 public:
  void hostname_resolved(uint32_t interface_index, const char* host_name, const char* address) override {
    record({true, interface_index, host_name, address});
  }
  void hostname_removed(uint32_t interface_index, const char* host_name) override {
    record({false, interface_index, host_name, ""});
  }
  std::vector<hostname_event> wait_for(size_t count, std::chrono::milliseconds timeout = 5s) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, timeout, [&] { return events_.size() >= count; });
    return events_;
  }

 private:
  void record(const hostname_event& event) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      events_.push_back(event);
    }
    changed_.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<hostname_event> events_;
};

// Records each state a registration reports. Outlives the registration its callback is given to.
class state_recorder {
 public:
  std::function<void(int)> callback() {
    return [this](int state) {
      std::lock_guard<std::mutex> lock(mutex_);
      states_.push_back(state);
    };
  }
  std::vector<int> states() {
    std::lock_guard<std::mutex> lock(mutex_);
    return states_;
  }

 private:
  std::mutex mutex_;
  std::vector<int> states_;
};

// Number of non-overlapping occurrences of `needle` in `text`.
inline size_t count_of(const std::string& text, const std::string& needle) {
  size_t count = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size())) {
    ++count;
  }
  return count;
}

}  // namespace zeroconf_test
