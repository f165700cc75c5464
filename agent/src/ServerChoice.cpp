#include "agent/src/ServerChoice.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

#include "agent/src/Agent.h"

namespace lmr {
namespace {

constexpr uint32_t kLoopbackNet = 127;
constexpr int kLoopbackNetShift = 24;

bool sameServer(const ServiceRecord& record, const ServerKey& key) {
  return record.name == key.first && record.interfaceIndex == key.second;
}

std::string ipOf(const std::string& address) { return address.substr(0, address.rfind(':')); }

// The choice a walk in name order would end on: the first record, replaced by each master.
const ServiceRecord* preferredServer(const FoundServers& found, const std::string& leftOut) {
  const ServiceRecord* choice = nullptr;
  for (const auto& entry : found) {
    if (entry.first.first == leftOut) continue;
    if (choice == nullptr || entry.second.kind == Agent::kKindMaster) choice = &entry.second;
  }
  return choice;
}

ServerDecision chooseAnother(const FoundServers& found, const std::string& leftOut) {
  const ServiceRecord* choice = preferredServer(found, leftOut);
  if (choice == nullptr) return {ServerAction::Detach, {}};
  return {ServerAction::Attach, *choice};
}

ServerDecision onResolved(const ServerKey& key, const FoundServers& found, const ServiceRecord& attached, uint32_t mode,
                          const OwnAddressTest& isOwnAddress) {
  const auto reported = found.find(key);
  if (reported == found.end()) return {};
  const ServiceRecord& record = reported->second;
  if (!attached.address.empty()) {
    if (!sameServer(attached, key)) return {ServerAction::IgnoreAttached, record};
    return {attached.address == record.address ? ServerAction::Confirm : ServerAction::Attach, record};
  }
  if (mode == Agent::kModeMaster && !isOwnAddress(ipOf(record.address))) return {ServerAction::IgnoreNotOwn, record};
  return {ServerAction::Attach, record};
}

ServerDecision onRemoved(const ServerKey& key, const FoundServers& found, const ServiceRecord& attached) {
  if (attached.address.empty() || !sameServer(attached, key)) return {};
  const auto same = found.lower_bound({key.first, 0});
  if (same != found.end() && same->first.first == key.first) {
    return {same->second.address == attached.address ? ServerAction::Keep : ServerAction::Attach, same->second};
  }
  return chooseAnother(found, {});
}

}  // namespace

ServerDecision chooseServer(ServerEvent event, const ServerKey& key, const FoundServers& found,
                            const ServiceRecord& attached, uint32_t mode, const OwnAddressTest& isOwnAddress) {
  switch (event) {
    case ServerEvent::Resolved: return onResolved(key, found, attached, mode, isOwnAddress);
    case ServerEvent::Removed: return onRemoved(key, found, attached);
    case ServerEvent::Dropped:
      if (attached.address.empty()) return {};
      return chooseAnother(found, attached.name);
  }
  return {};
}

void forgetServer(FoundServers& found, const std::string& name) {
  for (auto entry = found.lower_bound({name, 0}); entry != found.end() && entry->first.first == name;) {
    entry = found.erase(entry);
  }
}

bool isServerName(const char* name) {
  return name != nullptr && std::strncmp(name, Agent::kServerPrefix, std::strlen(Agent::kServerPrefix)) == 0;
}

bool refusesAddress(const char* ip, uint32_t interfaceIndex, const LoopbackInterfaceTest& isLoopback) {
  in_addr parsed{};
  const bool parsedIp = ip != nullptr && ::inet_pton(AF_INET, ip, &parsed) == 1;
  // 0.0.0.0 and 127.0.0.0/8 name the receiving host itself, whoever announced them.
  const uint32_t host = ntohl(parsed.s_addr);
  const bool namesThisHost = !parsedIp || host == 0 || (host >> kLoopbackNetShift) == kLoopbackNet;
  return namesThisHost && !isLoopback(interfaceIndex);
}

bool dropsUnansweredServer(int failuresInARow, std::chrono::steady_clock::duration sinceConfirmed,
                           std::chrono::steady_clock::duration confirmWindow) {
  return failuresInARow >= Agent::kApiFailuresBeforeDrop && sinceConfirmed >= confirmWindow;
}

}  // namespace lmr
