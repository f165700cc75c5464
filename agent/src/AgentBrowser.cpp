#include <QHostAddress>
#include <QNetworkInterface>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "agent/src/Agent.h"
#include "agent/src/ServerChoice.h"
#include "log/console_log.h"

namespace lmr {
namespace {

constexpr const char* kMasterEntryPrefix = "master:";
// Any public resolver will do: a UDP connect only asks the routing table, no packet is sent.
constexpr const char* kPublicResolver = "8.8.8.8";
constexpr uint16_t kDnsPort = 53;
constexpr const char* kNoAddress = "0.0.0.0";

bool isLoopbackInterface(uint32_t index) {
  const QNetworkInterface interface = QNetworkInterface::interfaceFromIndex(static_cast<int>(index));
  return interface.isValid() && interface.flags().testFlag(QNetworkInterface::IsLoopBack);
}

// Local address of the interface that routes toward the outside; empty when there is none.
std::string outgoingAddress() {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return {};
  std::string result;
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_port = htons(kDnsPort);
  ::inet_pton(AF_INET, kPublicResolver, &target.sin_addr);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&target), sizeof(target)) == 0) {
    sockaddr_in local{};
    socklen_t length = sizeof(local);
    char text[INET_ADDRSTRLEN] = {};
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) == 0 && local.sin_addr.s_addr != 0 &&
        ::inet_ntop(AF_INET, &local.sin_addr, text, sizeof(text)) != nullptr) {
      result = text;
    }
  }
  ::close(fd);
  return result;
}

// First IPv4 address of the first up, non-loopback interface; empty when none. Unlike the host
// name, which Debian maps to 127.0.1.1, it is an address the engine's announcement can carry.
std::string firstInterfaceAddress() {
  for (const QNetworkInterface& interface : QNetworkInterface::allInterfaces()) {
    const auto flags = interface.flags();
    if (!flags.testFlag(QNetworkInterface::IsUp) || flags.testFlag(QNetworkInterface::IsLoopBack)) continue;
    for (const QNetworkAddressEntry& entry : interface.addressEntries()) {
      if (entry.ip().protocol() == QAbstractSocket::IPv4Protocol) return entry.ip().toString().toStdString();
    }
  }
  return {};
}

}  // namespace

void Agent::BrowserListener::resolveLocalAddress() {
  std::string address = Config::instance().findText({"server", "ip"}).value_or(std::string());
  if (address.empty()) address = outgoingAddress();
  if (address.empty()) address = firstInterfaceAddress();
  if (address.empty()) address = kNoAddress;
  std::lock_guard<std::mutex> lock(agentMutex_);
  ownAddress_ = address;
}

std::string Agent::BrowserListener::ownAddress() const {
  std::lock_guard<std::mutex> lock(agentMutex_);
  return ownAddress_;
}

std::vector<std::string> Agent::BrowserListener::serviceNames() const {
  std::lock_guard<std::mutex> guard(agentMutex_);
  std::vector<std::string> names;
  if (agent_ == nullptr) return names;
  std::lock_guard<std::mutex> lock(agent_->mutex_);
  for (const auto& entry : services_) names.push_back(entry.first.first);
  return names;
}

bool Agent::BrowserListener::isOwnAddress(const std::string& ip) const {
  if (ip == ownAddress_) return true;
  const QHostAddress wanted(QString::fromStdString(ip));
  const QList<QHostAddress> own = QNetworkInterface::allAddresses();
  return !wanted.isNull() && std::find(own.begin(), own.end(), wanted) != own.end();
}

Agent::BrowserListener::~BrowserListener() {
  std::lock_guard<std::mutex> guard(agentMutex_);
  if (agent_ == nullptr) return;
  std::lock_guard<std::mutex> lock(agent_->mutex_);
  if (agent_->reportingListener_ == this) agent_->reportingListener_ = nullptr;
}

void Agent::BrowserListener::detachAgent() {
  std::lock_guard<std::mutex> lock(agentMutex_);
  agent_ = nullptr;
}

void Agent::attachLocked(const ServiceRecord& record) {
  attached_ = record;
  attachedConfirmed_ = std::chrono::steady_clock::now();
  apiFailures_ = 0;
  // Its new address or port, should it get one, is reported although the browse sees no change.
  if (browse_) browse_->follow(record.interfaceIndex, record.name);
  writeLog(kLogInfo, LOG_FILE, __LINE__, "Attached to %s\n", record.address.c_str());
  notifyAttached(record.address);
}

void Agent::noteApiResult(const std::string& address, bool answered) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (address != attached_.address) return;
  if (answered) {
    apiFailures_ = 0;
    return;
  }
  ++apiFailures_;
  if (!dropsUnansweredServer(apiFailures_, std::chrono::steady_clock::now() - attachedConfirmed_,
                             resolveConfirmWindow_.load())) {
    return;
  }
  // Neither its API nor a resolve answers: a black-holed or vanished server must not hold the agent
  // for good. It is chosen again once it resolves again.
  writeLog(kLogInfo, LOG_FILE, __LINE__, "LUMORA at %s neither answers nor resolves any more\n", address.c_str());
  if (reportingListener_ != nullptr) {
    reportingListener_->dropAttachedLocked(*this);
  } else {
    attached_ = ServiceRecord{};
    writeLog(kLogInfo, LOG_FILE, __LINE__, "Detached from %s\n", address.c_str());
    notifyDetached(address);
  }
}

void Agent::BrowserListener::service_resolved(uint32_t interface_index, const char* name, const char* /*regtype*/,
                                              const char* host_name, const char* address, uint16_t port,
                                              const std::vector<std::string>& txt_entries) {
  if (!isServerName(name) || address == nullptr) return;
  if (refusesAddress(address, interface_index, isLoopbackInterface)) {
    writeLog(kLogWarning, LOG_FILE, __LINE__, "Refused LUMORA at %s:%u: a loopback address announced on a network\n",
             address, static_cast<unsigned>(port));
    return;
  }
  ServiceRecord record;
  record.name = name;
  record.address = std::string(address) + ":" + std::to_string(port);
  record.host = host_name != nullptr ? host_name : "";
  record.kind = Agent::kKindOther;
  record.interfaceIndex = interface_index;
  for (const std::string& entry : txt_entries) {
    if (entry.compare(0, std::strlen(kMasterEntryPrefix), kMasterEntryPrefix) == 0) record.kind = Agent::kKindMaster;
  }

  std::lock_guard<std::mutex> guard(agentMutex_);
  if (agent_ == nullptr) return;
  std::lock_guard<std::mutex> lock(agent_->mutex_);
  agent_->reportingListener_ = this;
  const ServerKey key{record.name, interface_index};
  services_[key] = std::move(record);
  chooseLocked(*agent_, ServerEvent::Resolved, key);
}

void Agent::BrowserListener::service_removed(uint32_t interface_index, const char* name, const char* /*regtype*/) {
  if (!isServerName(name)) return;
  std::lock_guard<std::mutex> guard(agentMutex_);
  if (agent_ == nullptr) return;
  std::lock_guard<std::mutex> lock(agent_->mutex_);
  const ServerKey key{name, interface_index};
  services_.erase(key);
  chooseLocked(*agent_, ServerEvent::Removed, key);
}

void Agent::BrowserListener::dropAttachedLocked(Agent& agent) {
  const std::string dropped = agent.attached_.name;
  chooseLocked(agent, ServerEvent::Dropped, {});
  forgetServer(services_, dropped);
}

void Agent::BrowserListener::chooseLocked(Agent& agent, ServerEvent event, const ServerKey& key) {
  const ServerDecision decision = chooseServer(event, key, services_, agent.attached_, agent.mode_,
                                               [this](const std::string& ip) { return isOwnAddress(ip); });
  const char* address = decision.record.address.c_str();
  switch (decision.action) {
    case ServerAction::None: return;
    case ServerAction::Confirm:
      agent.attached_ = decision.record;
      agent.attachedConfirmed_ = std::chrono::steady_clock::now();
      return;
    case ServerAction::Keep: agent.attached_ = decision.record; return;
    case ServerAction::Attach: agent.attachLocked(decision.record); return;
    case ServerAction::IgnoreAttached:
      writeLog(kLogInfo, LOG_FILE, __LINE__,
               "Ignored LUMORA at %s because it is not the master and we are already attached\n", address);
      return;
    case ServerAction::IgnoreNotOwn:
      writeLog(kLogInfo, LOG_FILE, __LINE__, "Ignored LUMORA at %s because we are the master\n", address);
      return;
    case ServerAction::Detach: {
      const std::string oldAddress = std::move(agent.attached_.address);
      agent.attached_ = ServiceRecord{};
      if (agent.browse_) agent.browse_->follow(0, "");
      writeLog(kLogInfo, LOG_FILE, __LINE__, "Detached from %s\n", oldAddress.c_str());
      agent.notifyDetached(oldAddress);
      return;
    }
  }
}

}  // namespace lmr
