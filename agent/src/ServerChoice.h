#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>

// Which engine server the agent attaches to: the rule alone, without DNS-SD, threads or clocks,
// so that it can be read and tested in one place. Agent::BrowserListener keeps the found servers,
// asks chooseServer after each report and acts on its answer.

namespace lmr {

// One engine server found on the network, as seen on one interface.
struct ServiceRecord {
  std::string name;
  std::string address;  // "<IPv4>:<port>"
  std::string host;
  uint32_t kind = 4;  // Agent::kKindMaster or Agent::kKindOther
  uint32_t interfaceIndex = 0;
};

// DNS-SD reports a server once per interface it is seen on: one record per instance name and
// interface index, in name order.
using ServerKey = std::pair<std::string, uint32_t>;
using FoundServers = std::map<ServerKey, ServiceRecord>;

// What was reported just before the choice.
enum class ServerEvent {
  Resolved,  // the server under the key resolved (found, resolved again, or at a new address)
  Removed,   // the server under the key left on that interface
  Dropped,   // the attached server neither answers its API nor resolves any more
};

// What the agent does about its attachment.
enum class ServerAction {
  None,            // the report does not concern the attachment
  Confirm,         // the attached server resolved again where it is used: take the record, quietly
  Keep,            // the attached server is still seen, at its address, on another interface: take that record, quietly
  Attach,          // attach to the record: a first server, the attached one's new address, or a replacement
  IgnoreAttached,  // attached to another server already: log and keep it
  IgnoreNotOwn,    // a Master attaches only to its own engine: log and leave it
  Detach,          // the attached server is gone and no other is found
};

struct ServerDecision {
  ServerAction action = ServerAction::None;
  ServiceRecord record;  // for Confirm, Keep and Attach
};

// Whether an IPv4 text (no port) is the agent's own address or one of its host's.
using OwnAddressTest = std::function<bool(const std::string& ip)>;

// The server choice. `found` holds the servers known after the report (Resolved: stored under key;
// Removed: erased under key; Dropped: as before, the caller forgets the attached server's records
// afterwards, see forgetServer); `attached` is the attached record (empty address: not attached).
//
// Resolved:
//  - the attached server, same interface: at the same address Confirm, at another address Attach
//    there (the attachment follows it);
//  - attached to another server: IgnoreAttached, whatever its kind (the agent does not hop to a
//    master that comes later);
//  - not attached, mode Master, and the address is not this host's: IgnoreNotOwn;
//  - not attached otherwise: Attach.
// Removed:
//  - not the attached server (or not attached): None;
//  - the attached server still found on another interface (the lowest index): Keep at the same
//    address, else Attach there;
//  - else choose another: the last master in name order, else the first record (Attach), and
//    Detach when none is left. The Master-mode rule does not apply here: a Master agent may pick a
//    server of another host once its own is gone.
// Dropped: choose another as for Removed, leaving out every record of the attached server's name,
//  so that it is chosen again only once it resolves again.
[[nodiscard]] ServerDecision chooseServer(ServerEvent event, const ServerKey& key, const FoundServers& found,
                                          const ServiceRecord& attached, uint32_t mode,
                                          const OwnAddressTest& isOwnAddress);

// Erases the server of that name on every interface (after a Dropped choice).
void forgetServer(FoundServers& found, const std::string& name);

// Reports that count: instance names beginning with Agent::kServerPrefix (case-sensitive).
[[nodiscard]] bool isServerName(const char* name);

// A loopback or unspecified address (or no IPv4 text at all) reported on an interface other than
// the loopback one: any host on the network could otherwise point the agent, and its
// authenticated requests, at a service of this machine.
// The interface test runs only for such addresses.
using LoopbackInterfaceTest = std::function<bool(uint32_t interfaceIndex)>;
[[nodiscard]] bool refusesAddress(const char* ip, uint32_t interfaceIndex, const LoopbackInterfaceTest& isLoopback);

// The attached server is dropped (ServerEvent::Dropped) once this many API calls in a row failed
// and it has not resolved for the confirm window: a black-holed or vanished server must not hold
// the agent for good, but one slow answer of a live server does not move it.
[[nodiscard]] bool dropsUnansweredServer(int failuresInARow, std::chrono::steady_clock::duration sinceConfirmed,
                                         std::chrono::steady_clock::duration confirmWindow);

}  // namespace lmr
