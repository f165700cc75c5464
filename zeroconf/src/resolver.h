#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "zeroconf/src/dns_service.h"
#include "zeroconf/src/resolve_gate.h"

namespace zeroconf {

class browser_listener;

// One instance a browse found: resolved to host, port and TXT, then its host's IPv4 address is
// queried on the same poll-list entry; only the address answer reports it.
class bonjour_resolver final : public dns_service {
 public:
  bonjour_resolver(std::shared_ptr<bonjour_client> owner, resolve_request request);

  // Begins the resolve; a failure is logged, the resolver is dropped and the result returned.
  static DNSServiceErrorType start_resolve(std::shared_ptr<bonjour_resolver> resolver);
  // Ends a started resolve that has not reported (its context goes); the resolve is asked for
  // again. Poll thread only.
  static void give_up_turn(bonjour_resolver& resolver);

  // The resolve ends; it is asked for again while its instance is present.
  void on_service_gone() override;

  // Resolves older than this without an address answer are dropped.
  static constexpr int64_t kStaleQueryAgeNs = 300000000000LL;

 private:
  friend struct resolve_callbacks;

  const std::string regtype_;
  // Kept so that a resolve in flight keeps its listener alive after the browse ended.
  const std::shared_ptr<browser_listener> listener_;
  // Moves with every answer for a filtered name; a resolve reports only if it did not move.
  const std::shared_ptr<uint32_t> generation_;
  const uint32_t snapshot_;
  const bool reconfirm_;
  // What the browse asked for: resolved again when the start fails or the turn is given up.
  resolve_request request_;
  uint32_t interface_index_ = 0;
  std::string name_;
  std::string host_name_;
  uint16_t port_ = 0;
  std::vector<std::string> txt_entries_;
};

// Owner of one resolver while it works; its address is the context of the library calls and of
// the idle hook. Deleted by whichever step ends the resolve.
struct resolver_context {
  virtual ~resolver_context();

  int64_t start_ns = 0;
  bool started = false;
  std::shared_ptr<bonjour_resolver> resolver;
};

}  // namespace zeroconf
