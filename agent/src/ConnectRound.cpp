#include "agent/src/ConnectRound.h"

#include "agent/src/Agent.h"

namespace lmr {
namespace {

RoundAction masterRound(int tick) {
  if (tick == 0) return RoundAction::StartMaster;
  return tick < kMasterStartTicks ? RoundAction::Wait : RoundAction::Done;
}

RoundAction searchRound(int tick, bool attached, uint32_t mode) {
  if (tick == 0) return RoundAction::Search;
  if (attached) return tick > kSearchTimeRounds ? RoundAction::Attached : RoundAction::Connected;
  if (tick == kSearchTimeRounds) return mode == Agent::kModeSlave ? RoundAction::GiveUp : RoundAction::StartEngine;
  return tick < kConnectSequenceTicks ? RoundAction::Wait : RoundAction::Done;
}

}  // namespace

RoundAction decideRound(int tick, bool attached, uint32_t mode) {
  switch (mode) {
    case Agent::kModeMaster: return masterRound(tick);
    case Agent::kModeSlave:
    case Agent::kModeHybrid: return searchRound(tick, attached, mode);
    default: return RoundAction::Done;
  }
}

bool endsSequence(RoundAction action) {
  return action == RoundAction::GiveUp || action == RoundAction::Attached || action == RoundAction::Done;
}

WatchRound decideWatchRound(const LostServerWatch& watch, bool attached, bool searchRunning, bool ownEngineStarted) {
  if (attached) return {{true, 0}, WatchAction::Wait};
  if (!searchRunning) return {{watch.hadServer, 0}, WatchAction::Wait};
  if (!watch.hadServer) return {watch, WatchAction::Wait};
  if (watch.lostRounds + 1 < kSearchTimeRounds) return {{true, watch.lostRounds + 1}, WatchAction::Wait};
  return {{false, 0}, ownEngineStarted ? WatchAction::Wait : WatchAction::StartEngine};
}

}  // namespace lmr
