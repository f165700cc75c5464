// Which connection gives way when the HTTP server is full.
#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "../src/ConnectionEviction.h"

using tvsk::ConnectionPhase;
using tvsk::ConnectionStanding;
using namespace std::chrono_literals;

namespace {

const auto kNow = ConnectionStanding::Clock::now();

ConnectionStanding connection(ConnectionPhase phase, const char* peer, std::chrono::milliseconds age,
                              std::size_t received = 0, std::chrono::milliseconds quietFor = 0ms) {
  ConnectionStanding standing;
  standing.phase = phase;
  standing.peer = boost::asio::ip::make_address(peer);
  standing.since = kNow - age;
  standing.lastProgress = kNow - quietFor;
  standing.received = received;
  return standing;
}

// The order in which the connections give way, one new connection after another, by index.
std::vector<std::size_t> evictionOrder(std::vector<ConnectionStanding> open) {
  std::vector<std::size_t> indices(open.size());
  for (std::size_t i = 0; i < indices.size(); ++i) indices[i] = i;
  std::vector<std::size_t> order;
  while (const auto chosen = tvsk::chooseConnectionToEvict(open, kNow)) {
    order.push_back(indices[*chosen]);
    open.erase(open.begin() + static_cast<std::ptrdiff_t>(*chosen));
    indices.erase(indices.begin() + static_cast<std::ptrdiff_t>(*chosen));
  }
  return order;
}

}  // namespace

TEST(EngineConnectionEviction, ClosingThenIdleThenTheBusiestHostsLeastProgressAndNeverWorkOnARequest) {
  const std::vector<ConnectionStanding> open{
      connection(ConnectionPhase::Working, "10.0.0.9", 9s),
      connection(ConnectionPhase::Reading, "10.0.0.1", 100ms, 150),  // header sent, body due
      connection(ConnectionPhase::Reading, "10.0.0.2", 3s, 15),      // a trickling header
      connection(ConnectionPhase::Reading, "10.0.0.2", 10ms, 0),     // too young to judge
      connection(ConnectionPhase::Writing, "10.0.0.2", 5s, 0, 3s),   // its reader stalled
      connection(ConnectionPhase::Writing, "10.0.0.2", 1s, 0, 10ms),
      connection(ConnectionPhase::Idle, "10.0.0.1", 1s),
      connection(ConnectionPhase::Idle, "10.0.0.1", 2s),
      connection(ConnectionPhase::Closing, "10.0.0.1", 10ms),
      connection(ConnectionPhase::Reading, "10.0.0.2", 2s, 8000),  // a long body arriving fast
  };
  // The busiest host's stalled answer, its requests slowest first and its young one, and only once
  // both hosts hold one the request arriving at a normal pace.
  EXPECT_EQ(evictionOrder(open), (std::vector<std::size_t>{8, 7, 6, 4, 2, 9, 3, 1, 5}));
}

TEST(EngineConnectionEviction, AHostAtItsOwnLimitGivesWayFromItsOwnConnectionsOnly) {
  const std::vector<ConnectionStanding> open{
      connection(ConnectionPhase::Reading, "10.0.0.2", 4s, 0),  // silent, on the busier host
      connection(ConnectionPhase::Reading, "10.0.0.2", 2s, 0),  connection(ConnectionPhase::Reading, "10.0.0.2", 1s, 0),
      connection(ConnectionPhase::Reading, "10.0.0.1", 1s, 20), connection(ConnectionPhase::Working, "10.0.0.1", 1s),
  };
  const auto hostA = boost::asio::ip::make_address("10.0.0.1");
  EXPECT_EQ(tvsk::chooseConnectionToEvict(open, kNow, &hostA), 3u);
  const auto hostB = boost::asio::ip::make_address("10.0.0.2");
  EXPECT_EQ(tvsk::chooseConnectionToEvict(open, kNow, &hostB), 0u);  // silent longest
  const auto stranger = boost::asio::ip::make_address("10.0.0.3");
  EXPECT_FALSE(tvsk::chooseConnectionToEvict(open, kNow, &stranger));
}
