#include "ConnectionEviction.h"

#include <map>

namespace tvsk {
namespace {

using Clock = ConnectionStanding::Clock;

// How long progress is watched before it is judged: a request younger than this is not judged yet
// (its first bytes may still be on their way); an answer whose reader took no byte for this long
// has stalled.
constexpr std::chrono::milliseconds kJudgingWindow{500};

// Closing, then idle, then the rest: lower gives way first.
int phaseRank(ConnectionPhase phase) {
  switch (phase) {
    case ConnectionPhase::Closing: return 0;
    case ConnectionPhase::Idle: return 1;
    default: return 2;
  }
}

// Among the rest, lower gives way first.
enum class Progress { StalledAnswer, JudgedRequest, YoungRequest, FlowingAnswer };

Progress progressOf(const ConnectionStanding& connection, Clock::time_point now) {
  if (connection.phase == ConnectionPhase::Reading) {
    return now - connection.since >= kJudgingWindow ? Progress::JudgedRequest : Progress::YoungRequest;
  }
  return now - connection.lastProgress >= kJudgingWindow ? Progress::StalledAnswer : Progress::FlowingAnswer;
}

// Bytes per second of the request being read.
double arrivalRate(const ConnectionStanding& connection, Clock::time_point now) {
  return static_cast<double>(connection.received) / std::chrono::duration<double>(now - connection.since).count();
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
  const Progress progressA = progressOf(a.standing, now);
  const Progress progressB = progressOf(b.standing, now);
  if (progressA != progressB) {
    return progressA < progressB;
  }
  switch (progressA) {
    case Progress::StalledAnswer:
    case Progress::FlowingAnswer: return a.standing.lastProgress < b.standing.lastProgress;
    case Progress::JudgedRequest: {
      const double rateA = arrivalRate(a.standing, now);
      const double rateB = arrivalRate(b.standing, now);
      if (rateA != rateB) {
        return rateA < rateB;
      }
      break;
    }
    case Progress::YoungRequest: break;
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
