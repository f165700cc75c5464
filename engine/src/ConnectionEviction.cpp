#include "ConnectionEviction.h"

#include <algorithm>
#include <map>

namespace tvsk {
namespace {

using Clock = ConnectionStanding::Clock;

// Progress is judged over at least this long: a request younger than it by its bytes alone (one
// early byte does not pass for a fast arrival), an answer by whether its reader took a byte within
// it.
constexpr std::chrono::milliseconds kJudgingWindow{500};

// Closing, then idle, then the rest: lower gives way first.
int phaseRank(ConnectionPhase phase) {
  switch (phase) {
    case ConnectionPhase::Closing: return 0;
    case ConnectionPhase::Idle: return 1;
    default: return 2;
  }
}

// Among the rest: an answer whose reader has stalled, then a request arriving, then an answer
// flowing.
int progressRank(const ConnectionStanding& connection, Clock::time_point now) {
  if (connection.phase == ConnectionPhase::Reading) {
    return 1;
  }
  return now - connection.lastProgress >= kJudgingWindow ? 0 : 2;
}

// Bytes per second of the request being read.
double arrivalRate(const ConnectionStanding& connection, Clock::time_point now) {
  const Clock::duration age = std::max<Clock::duration>(now - connection.since, kJudgingWindow);
  return static_cast<double>(connection.received) / std::chrono::duration<double>(age).count();
}

struct Candidate {
  const ConnectionStanding& standing;
  std::size_t peerConnections;
};

bool givesWayBefore(const Candidate& a, const Candidate& b, Clock::time_point now) {
  const int rankA = phaseRank(a.standing.phase);
  const int rankB = phaseRank(b.standing.phase);
  if (rankA != rankB) {
    return rankA < rankB;
  }
  if (rankA < 2) {
    return a.standing.since < b.standing.since;
  }
  if (a.peerConnections != b.peerConnections) {
    return a.peerConnections > b.peerConnections;
  }
  const int progressA = progressRank(a.standing, now);
  const int progressB = progressRank(b.standing, now);
  if (progressA != progressB) {
    return progressA < progressB;
  }
  if (a.standing.phase != ConnectionPhase::Reading) {
    return a.standing.lastProgress < b.standing.lastProgress;
  }
  const double rateA = arrivalRate(a.standing, now);
  const double rateB = arrivalRate(b.standing, now);
  if (rateA != rateB) {
    return rateA < rateB;
  }
  return a.standing.since < b.standing.since;
}

}  // namespace

std::optional<std::size_t> chooseConnectionToEvict(const std::vector<ConnectionStanding>& open, Clock::time_point now,
                                                   const boost::asio::ip::address* onlyPeer) {
  std::map<boost::asio::ip::address, std::size_t> peerConnections;
  for (const ConnectionStanding& connection : open) {
    ++peerConnections[connection.peer];
  }
  std::optional<std::size_t> chosen;
  for (std::size_t i = 0; i < open.size(); ++i) {
    const ConnectionStanding& connection = open[i];
    if (connection.phase == ConnectionPhase::Working || (onlyPeer && connection.peer != *onlyPeer)) {
      continue;
    }
    const Candidate candidate{connection, peerConnections[connection.peer]};
    if (!chosen || givesWayBefore(candidate, {open[*chosen], peerConnections[open[*chosen].peer]}, now)) {
      chosen = i;
    }
  }
  return chosen;
}

}  // namespace tvsk
