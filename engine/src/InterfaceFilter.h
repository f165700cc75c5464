#pragma once

#include <string>

namespace tvsk {

// One network interface the engine is restricted to: IPv4 address and netmask texts.
struct InterfaceFilter {
  std::string address;
  std::string netmask;

  bool operator==(const InterfaceFilter& other) const { return address == other.address && netmask == other.netmask; }
};

}  // namespace tvsk
