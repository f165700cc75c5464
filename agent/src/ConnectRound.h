#pragma once

#include <cstdint>

// What the agent does in each round of its connect sequence and of a Hybrid agent's lost-server
// watch: the rules alone, without threads or clocks. The loops (Agent::connectSequence,
// Agent::watchForLostServer) only sleep a tick between rounds and act on the answers.

namespace lmr {

// Rounds of the search time: a Slave or Hybrid agent that has found no server in this many ticks
// tells the user (Slave) or starts its own engine (Hybrid).
constexpr int kSearchTimeRounds = 4;
// Ticks of the whole connect sequence (the splash's longest stay) and of a Master's engine start.
constexpr int kConnectSequenceTicks = 16;
constexpr int kMasterStartTicks = 4;

enum class RoundAction {
  StartMaster,  // Master, first round: start the engine as the master
  Search,       // Slave or Hybrid, first round: say the search begins (Hybrid: start the lost-server watch)
  Wait,         // nothing to do in this round
  Connected,    // attached within the search time: say so, the splash stays until it is over
  StartEngine,  // Hybrid, no server at the end of the search time: start our own engine
  GiveUp,       // Slave, no server at the end of the search time: tell the user. Ends the sequence
  Attached,     // attached after the search time: ends the sequence
  Done,         // the sequence is over (time up, the Master's start time passed, or a mode without search)
};

// The connect sequence's round `tick`: 0 before the first sleep, n after the n-th tick of sleep.
//  - Master: StartMaster at 0, then Wait, Done after kMasterStartTicks ticks.
//  - Slave and Hybrid: Search at 0. After each tick: attached -> Connected, or Attached once the
//    search time is over (after more than kSearchTimeRounds ticks); not attached at the end of the
//    search time (tick kSearchTimeRounds) -> GiveUp (Slave) or StartEngine (Hybrid); Done after
//    kConnectSequenceTicks ticks; else Wait. A Hybrid agent starts its engine once at most: the
//    lost-server watch takes over from there.
//  - Any other mode: Done at once.
// DNS-SD being away does not stop the clock here: with no browse there is nothing to wait for.
[[nodiscard]] RoundAction decideRound(int tick, bool attached, uint32_t mode);

// Ends the connect sequence.
[[nodiscard]] bool endsSequence(RoundAction action);

// The lost-server watch's count between rounds.
struct LostServerWatch {
  bool hadServer = false;  // attached at some time since the watch began or last started an engine
  int lostRounds = 0;      // counted rounds without a server since it was lost
};

enum class WatchAction { Wait, StartEngine };

struct WatchRound {
  LostServerWatch next;
  WatchAction action = WatchAction::Wait;
};

// One round of a Hybrid agent's lost-server watch, after a tick of sleep. An engine is started when
// the agent had a server and is without one for the search time (its kSearchTimeRounds-th counted
// round without one, as in the connect sequence), and no engine of its own was started (one that
// died is the tray's to restart or give up); either way the count starts over. Rounds while the
// DNS-SD search is not running (a restarting daemon reports every server gone) do not count: once
// it runs again the search gets its full time.
[[nodiscard]] WatchRound decideWatchRound(const LostServerWatch& watch, bool attached, bool searchRunning,
                                          bool ownEngineStarted);

}  // namespace lmr
