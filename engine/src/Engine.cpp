#include "Engine.h"

#include <arpa/inet.h>
#include <cstdlib>
#include <optional>

namespace tvsk {
namespace {

bool isIpv4Text(const char* text) {
  in_addr parsed{};
  return text != nullptr && inet_pton(AF_INET, text, &parsed) == 1;
}

std::optional<int> forcedInitResult() {
  const char* text = std::getenv(Engine::kForcedInitResultVariable);
  if (text == nullptr || *text == '\0') {
    return std::nullopt;
  }
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (*end != '\0') {
    return std::nullopt;
  }
  return static_cast<int>(value);
}

}  // namespace

Engine& Engine::instance() {
  static Engine engine;
  return engine;
}

int Engine::addInterfaceFilter(const char* address, const char* netmask) {
  if (!isIpv4Text(address) || !isIpv4Text(netmask)) {
    return -1;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  filters_.push_back({address, netmask});
  boost::lock_guard<boost::mutex> filterLock(filteredAddresses_.mutex);
  filteredAddresses_.addresses.insert(address);
  return 0;
}

int Engine::initialize(int /*instance*/, int /*options*/, int role) {
  if (const auto forced = forcedInitResult(); forced && *forced != 0) {
    return *forced;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  role_ = role;
  running_ = true;
  return 0;
}

int Engine::uninitialize() {
  std::lock_guard<std::mutex> lock(mutex_);
  running_ = false;
  return 0;
}

bool Engine::running() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return running_;
}

int Engine::role() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return role_;
}

std::vector<InterfaceFilter> Engine::interfaceFilters() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return filters_;
}

}  // namespace tvsk
