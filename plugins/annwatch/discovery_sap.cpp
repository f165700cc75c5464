#include "plugins/annwatch/discovery_sap.h"

#include <cstdio>
#include <exception>

#include "platform/thread_name.h"
#include "plugins/annwatch/cmd_browser_callback.h"
#include "plugins/annwatch/local_addresses.h"

namespace annwatch {

namespace {

// The 64-bit golden ratio of Boost's hash_combine.
constexpr size_t kHashMix = 0x9e3779b97f4a7c15ULL;

}  // namespace

size_t stream_key_hash::operator()(const stream_key& key) const {
  const auto& [browser, origin, hash] = key;
  size_t seed = std::hash<std::string>()(origin);
  for (const size_t part : {browser, size_t{hash}}) {
    seed ^= part + kHashMix + (seed << 6) + (seed >> 2);
  }
  return seed;
}

DiscoverySap::DiscoverySap(int32_t start_id, discovery_settings settings)
    : next_id_(start_id), settings_(std::move(settings)) {
  if (!settings_.addresses) {
    settings_.addresses = list_local_addresses;
  }
}

DiscoverySap::~DiscoverySap() { stop(); }

void DiscoverySap::set_callback(DiscoveryCallback fn, void* user) {
  std::lock_guard<std::mutex> lock(callback_mutex_);
  callback_ = fn;
  user_ = user;
}

bool DiscoverySap::list_interfaces(uint64_t filter_address) {
  if (started_) {
    return false;
  }
  started_ = true;
  io_ = std::make_shared<boost::asio::io_context>();
  work_ =
      std::make_unique<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>>(io_->get_executor());
  const std::vector<std::string> addresses = settings_.addresses();
  address_filter_ = reinterpret_cast<tvsk::AddressFilterList*>(static_cast<uintptr_t>(filter_address));
  for (const std::string& address : addresses) {
    std::printf("DiscoverySap::list_interfaces %s\n", address.c_str());
    std::fflush(stdout);
    try {
      auto browser = sap::service_browser::create(io_, address, settings_.group, settings_.port, settings_.interval_ms,
                                                  false, settings_.listener);
      auto subscriber = std::make_shared<cmd_browser_callback>(kSubscriberName, "", *this, browsers_.size());
      browser->subscribe(subscriber->filter(), subscriber);
      subscribers_.push_back(std::move(subscriber));
      browsers_.push_back(std::move(browser));
    } catch (const std::exception& error) {
      std::printf("DiscoverySap::list_interfaces %s: %s\n", address.c_str(), error.what());
      std::fflush(stdout);
    }
  }
  thread_ = std::make_unique<std::thread>([this] { run(); });
  return true;
}

void DiscoverySap::run() {
  worker_id_ = std::this_thread::get_id();
  platform::setThreadName(kThreadName);
  for (;;) {
    try {
      io_->run();
      return;
    } catch (const std::exception& error) {
      std::printf("DiscoverySap::run exception: %s\n", error.what());
    } catch (...) {
      std::printf("DiscoverySap::run unknown exception\n");
    }
    std::fflush(stdout);
  }
}

bool DiscoverySap::on_worker_thread() const { return worker_id_.load() == std::this_thread::get_id(); }

bool DiscoverySap::stop() {
  if (on_worker_thread()) {
    return false;
  }
  // Closing the receivers needs the worker still running.
  browsers_.clear();
  subscribers_.clear();
  work_.reset();
  if (io_) {
    io_->stop();
  }
  if (thread_) {
    thread_->join();
    thread_.reset();
  }
  io_.reset();
  return true;
}

bool DiscoverySap::is_listed_address(const std::string& address) const {
  if (address_filter_ == nullptr) {
    return false;
  }
  boost::lock_guard<boost::mutex> lock(address_filter_->mutex);
  return address_filter_->addresses.find(address) != address_filter_->addresses.end();
}

int32_t DiscoverySap::assign_id(const stream_key& key) {
  const int32_t id = next_id_;
  // Wraps instead of overflowing.
  next_id_ = static_cast<int32_t>(static_cast<uint32_t>(id) + 1u);
  stream_ids_[key] = id;
  return id;
}

std::optional<int32_t> DiscoverySap::release_id(const stream_key& key) {
  const auto found = stream_ids_.find(key);
  if (found == stream_ids_.end()) {
    return std::nullopt;
  }
  const int32_t id = found->second;
  stream_ids_.erase(found);
  return id;
}

void DiscoverySap::report(const std::string& json) const {
  DiscoveryCallback fn = nullptr;
  void* user = nullptr;
  {
    std::lock_guard<std::mutex> lock(callback_mutex_);
    fn = callback_;
    user = user_;
  }
  if (fn != nullptr) {
    fn(user, json.c_str());
  }
}

}  // namespace annwatch
