#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "tvsk/AddressFilterList.h"

namespace tvsk {

struct InterfaceFilter {
  std::string address;
  std::string netmask;
};

// The in-process engine behind the C entries. One per process.
class Engine {
 public:
  // Role value of a master engine.
  static constexpr int kMasterRole = 3;
  // Environment variable that forces TVSK_Initialize's result, for tests of failed starts.
  static constexpr const char* kForcedInitResultVariable = "TVSK_INIT_RESULT";

  static Engine& instance();

  int addInterfaceFilter(const char* address, const char* netmask);
  int initialize(int instance, int options, int role);
  int uninitialize();

  [[nodiscard]] bool running() const;
  [[nodiscard]] int role() const;
  [[nodiscard]] std::vector<InterfaceFilter> interfaceFilters() const;
  // Shared with the stream-discovery plug-in; stays valid for the life of the process.
  [[nodiscard]] AddressFilterList& filteredAddresses() { return filteredAddresses_; }

 private:
  Engine() = default;

  mutable std::mutex mutex_;
  std::vector<InterfaceFilter> filters_;
  AddressFilterList filteredAddresses_;
  bool running_ = false;
  int role_ = 0;
};

}  // namespace tvsk
