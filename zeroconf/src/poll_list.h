#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "zeroconf/src/dnssd_api.h"

namespace zeroconf {

class dns_service;

// What the poll thread shares with the client and its operations. The poll thread owns a share
// of it, so the loop can finish its cycle safely after the client was destroyed on that thread.
struct poll_list {
  // Guards everything below except `stop`. Recursive: dropping a strong reference while it is
  // held can destroy an operation whose destructor removes itself.
  std::recursive_mutex mutex;
  // Running operations in the order they were added; the list does not keep them alive.
  std::vector<std::weak_ptr<dns_service>> entries;
  std::atomic<bool> stop{false};
  std::thread::id poll_thread_id;
  // The operation whose reply the poll thread is processing outside the lock.
  const dns_service* in_process = nullptr;
  // References released by other threads during that processing; the poll thread frees them
  // once DNSServiceProcessResult returned.
  std::vector<DNSServiceRef> deferred_releases;
};

}  // namespace zeroconf
