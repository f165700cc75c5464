#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "zeroconf/src/retry_backoff.h"

namespace zeroconf {

class bonjour_client;
class bonjour_resolver;
class browser_listener;
struct poll_list;

// The instances a browse currently sees, shared with the resolves it asks for. Used on the poll
// thread only, except `ended`, which the browse handle sets from any thread.
struct browse_instances {
  struct key {
    uint32_t interface_index = 0;
    std::string name;
    std::string regtype;
    std::string domain;
    bool operator==(const key& other) const {
      return interface_index == other.interface_index && name == other.name && regtype == other.regtype &&
             domain == other.domain;
    }
  };

  void add(const key& instance);
  void remove(const key& instance);
  [[nodiscard]] bool contains(const key& instance) const;

  std::atomic<bool> ended{false};
  std::vector<key> present;
};

// One resolve a browse asked for, until it reports or is given up.
struct resolve_request {
  std::weak_ptr<bonjour_client> owner;
  std::shared_ptr<browser_listener> listener;
  std::shared_ptr<uint32_t> generation;
  uint32_t snapshot = 0;
  bool reconfirm = false;
  std::shared_ptr<browse_instances> instances;
  browse_instances::key instance;
  retry_backoff backoff;
  int64_t due_ns = 0;

  // Still worth resolving: the browse runs, sees the instance and got no newer answer for it.
  [[nodiscard]] bool wanted() const;
};

// Bounds the resolves in flight of one client: the DNS-SD library may spend a connection and a
// thread on each, and a refused start would lose the instance. Requests beyond the bound wait,
// the newest first; a resolve that could not start is tried again after a back-off while its
// instance is present; while requests wait, a resolve that has had its turn without an answer
// makes room and waits again behind them. Used on the poll thread only.
class resolve_gate {
 public:
  static constexpr size_t kMaxResolvesInFlight = 32;

  explicit resolve_gate(poll_list& list) : list_(list) {}

  // Starts the resolve now when there is room, else queues it.
  void submit(resolve_request request);
  // Queues the request again after its next back-off delay, unless the start can never work.
  void retry_later(resolve_request request, int error_code);
  // A started resolve ended (reported, failed or dropped).
  void finished(const bonjour_resolver* resolver);
  // Once per poll cycle: gives overdue resolves' places to waiting ones and starts what fits.
  void tick();
  // Requests wait for a place or for their back-off to pass: the poll thread must keep ticking.
  [[nodiscard]] bool has_waiting() const { return !waiting_.empty(); }
  // A resolve of this instance of this browse runs or waits.
  [[nodiscard]] bool pending(const browse_instances& instances, const browse_instances::key& instance) const;
  // The DNS-SD service went away: every running resolve ends now and is asked for again later
  // (dropped then unless its instance is present again).
  void end_all();

 private:
  struct running_resolve {
    std::weak_ptr<bonjour_resolver> resolver;
    const bonjour_resolver* identity;
    int64_t since_ns;
    const browse_instances* instances;
    browse_instances::key instance;
  };

  void start(resolve_request request);
  [[nodiscard]] size_t due_waiting(int64_t now) const;

  poll_list& list_;
  std::deque<resolve_request> waiting_;
  std::vector<running_resolve> running_;
};

}  // namespace zeroconf
