#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <vector>

#include <boost/asio/ip/address.hpp>

namespace tvsk {

// What an open connection of the HTTP server is doing.
enum class ConnectionPhase {
  Closing,  // answered or cut off, finishing
  Idle,     // kept alive, waiting for its next request
  Reading,  // a request is arriving
  Writing,  // an answer (or an interim answer) is being sent
  Working,  // its request is being handled; never gives way
};

// One open connection as the server sees it when a new one needs its slot.
struct ConnectionStanding {
  using Clock = std::chrono::steady_clock;

  ConnectionPhase phase = ConnectionPhase::Reading;
  boost::asio::ip::address peer;
  Clock::time_point since;         // the request's start; when Idle, the wait's
  Clock::time_point lastProgress;  // last byte received or sent
  std::size_t received = 0;        // bytes of the request being read
};

// Which connection gives way for a new one: a closing one, else the longest idle, else one of the
// peer address holding the most connections: an answer whose reader has stalled, then a request
// arriving slowest in bytes per second, then a request too young to judge (the oldest first), then
// an answer still flowing. So a host that opens many connections and sends or reads little loses
// its own first, and a request arriving at a normal pace goes only after every slower one of a
// host holding as many connections. With `onlyPeer`, only that peer's connections count (it is at
// its own limit). Nothing when every candidate is working.
[[nodiscard]] std::optional<std::size_t> chooseConnectionToEvict(const std::vector<ConnectionStanding>& open,
                                                                 ConnectionStanding::Clock::time_point now,
                                                                 const boost::asio::ip::address* onlyPeer = nullptr);

}  // namespace tvsk
