#pragma once

#include <set>
#include <string>

#include <boost/thread/lock_guard.hpp>
#include <boost/thread/mutex.hpp>

namespace tvsk {

// The engine's set of filtered IPv4 addresses (dotted text), handed to the stream-discovery
// plug-in as a pointer. The engine and the plug-in share this one definition and must be built
// with the same compiler and Boost; readers hold the mutex for one lookup at a time.
struct AddressFilterList {
  boost::mutex mutex;
  std::set<std::string> addresses;
};

}  // namespace tvsk
