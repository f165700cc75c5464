#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <unordered_map>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include "engine/include/tvsk/AddressFilterList.h"
#include "engine/include/tvsk/DiscoveryPluginEntries.h"
#include "sap/impl/listener.h"
#include "sap/impl/service_browser.h"

namespace annwatch {

class cmd_browser_callback;

// Where and how a discovery object listens; tests replace the interfaces and shorten times.
struct discovery_settings {
  using address_provider = std::function<std::vector<std::string>()>;

  static constexpr const char* kGroup = "239.255.255.255";
  static constexpr uint16_t kPort = 9875;
  static constexpr uint32_t kIntervalMs = 30000;

  // The local IPv4 addresses to listen on; every interface that is up when empty.
  address_provider addresses;
  std::string group = kGroup;
  uint16_t port = kPort;
  uint32_t interval_ms = kIntervalMs;
  sap::listener_options listener;
};

// Names one stream: the session-table entry (browser, SAP origin, hash) it came from.
using stream_key = std::tuple<size_t, std::string, uint16_t>;

struct stream_key_hash {
  size_t operator()(const stream_key& key) const;
};

// One discovery object of the engine: a worker thread "DiscoverySap" running one SAP service
// browser per local IPv4 address, whose sessions become "Add" and "Remove" messages for the
// engine's callback. Entries are called on the engine's thread.
class DiscoverySap {
 public:
  static constexpr const char* kThreadName = "DiscoverySap";
  static constexpr const char* kSubscriberName = "Dante/SAP discover";

  explicit DiscoverySap(int32_t start_id, discovery_settings settings = {});
  ~DiscoverySap();
  DiscoverySap(const DiscoverySap&) = delete;
  DiscoverySap& operator=(const DiscoverySap&) = delete;

  // May be called before or after start; the worker sees the change at its next message.
  void set_callback(DiscoveryCallback fn, void* user);
  // Starts listening; filter_address is the engine's AddressFilterList or 0. False when the
  // object was started before. Throws when the interfaces cannot be listed.
  bool list_interfaces(uint64_t filter_address);
  // Releases the browsers and joins the worker. False (and nothing done) on the worker itself.
  bool stop();

  // Everything below runs on the worker thread.
  [[nodiscard]] bool is_listed_address(const std::string& address) const;
  // Gives the stream the next Id.
  int32_t assign_id(const stream_key& key);
  // The stream's Id, forgotten; empty when it never got one.
  std::optional<int32_t> release_id(const stream_key& key);
  // Hands a message to the engine's callback, when one is set.
  void report(const std::string& json) const;

  [[nodiscard]] int32_t next_id() const { return next_id_; }
  [[nodiscard]] bool on_worker_thread() const;

 private:
  void run();

  void* user_ = nullptr;
  std::atomic<int32_t> next_id_;
  DiscoveryCallback callback_ = nullptr;
  mutable std::mutex callback_mutex_;
  discovery_settings settings_;
  bool started_ = false;
  std::shared_ptr<boost::asio::io_context> io_;
  std::unique_ptr<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> work_;
  std::unique_ptr<std::thread> thread_;
  // Set by the worker itself, so a callback can tell before the thread object is stored.
  std::atomic<std::thread::id> worker_id_;
  std::vector<std::shared_ptr<sap::service_browser>> browsers_;
  std::vector<std::shared_ptr<cmd_browser_callback>> subscribers_;
  std::unordered_map<stream_key, int32_t, stream_key_hash> stream_ids_;
  tvsk::AddressFilterList* address_filter_ = nullptr;
};

}  // namespace annwatch
