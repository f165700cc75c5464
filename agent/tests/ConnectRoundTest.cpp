#include "agent/src/ConnectRound.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "agent/src/Agent.h"

namespace {

using lmr::Agent;
using lmr::RoundAction;

constexpr int kNever = 1000;

const char* nameOf(RoundAction action) {
  switch (action) {
    case RoundAction::StartMaster: return "start-master";
    case RoundAction::Search: return "search";
    case RoundAction::Wait: return "wait";
    case RoundAction::Connected: return "connected";
    case RoundAction::StartEngine: return "start-engine";
    case RoundAction::GiveUp: return "give-up";
    case RoundAction::Attached: return "attached";
    case RoundAction::Done: return "done";
  }
  return "?";
}

// The rounds the connect sequence goes through until one ends it, the agent attached from tick
// attachedFrom on: runs of the same action written as "<action> xN".
std::string sequence(uint32_t mode, int attachedFrom = kNever) {
  std::string text;
  std::string last;
  int repeats = 0;
  auto flush = [&] {
    if (repeats == 0) return;
    text += (text.empty() ? "" : ", ") + last + (repeats > 1 ? " x" + std::to_string(repeats) : "");
  };
  for (int tick = 0; tick < 100; ++tick) {
    const RoundAction action = lmr::decideRound(tick, tick >= attachedFrom, mode);
    if (nameOf(action) != last) {
      flush();
      last = nameOf(action);
      repeats = 0;
    }
    ++repeats;
    if (lmr::endsSequence(action)) break;
  }
  flush();
  return text;
}

TEST(ConnectRound, SequenceByModeAndAttachment) {
  struct Case {
    uint32_t mode;
    int attachedFrom;
    const char* expected;
  };
  const std::vector<Case> cases{
      // The master's splash stays four ticks while its engine comes up, attached or not.
      {Agent::kModeMaster, kNever, "start-master, wait x3, done"},
      {Agent::kModeMaster, 1, "start-master, wait x3, done"},
      // No server in the search time: the Slave tells the user after four ticks.
      {Agent::kModeSlave, kNever, "search, wait x3, give-up"},
      // The Hybrid starts its own engine then and waits out the sixteen ticks.
      {Agent::kModeHybrid, kNever, "search, wait x3, start-engine, wait x11, done"},
      // Its own engine's announcement attaches it: done at once.
      {Agent::kModeHybrid, 6, "search, wait x3, start-engine, wait, attached"},
      // Found early: the splash says so and stays for the search time.
      {Agent::kModeSlave, 1, "search, connected x4, attached"},
      {Agent::kModeHybrid, 2, "search, wait, connected x3, attached"},
      // Found in the very round the search time ends: no engine, no message.
      {Agent::kModeHybrid, 4, "search, wait x3, connected, attached"},
      {Agent::kModeSlave, 4, "search, wait x3, connected, attached"},
      // Found in the last tick.
      {Agent::kModeHybrid, 16, "search, wait x3, start-engine, wait x11, attached"},
      // Modes that neither search nor start an engine.
      {0, kNever, "done"},
      {3, 1, "done"},
      {8, kNever, "done"},
  };
  for (const Case& test : cases) {
    EXPECT_EQ(sequence(test.mode, test.attachedFrom), test.expected)
        << "mode " << test.mode << ", attached from tick " << test.attachedFrom;
  }
}

// One round of the lost-server watch: attached, search running, own engine started.
struct WatchTick {
  bool attached;
  bool searchRunning = true;
  bool ownEngineStarted = false;
};

// The rounds (1-based) in which the watch starts an engine.
std::vector<int> engineStarts(const std::vector<WatchTick>& ticks, bool attachedAtStart = false) {
  lmr::LostServerWatch watch;
  watch.hadServer = attachedAtStart;
  std::vector<int> starts;
  for (size_t round = 0; round < ticks.size(); ++round) {
    const WatchTick& tick = ticks[round];
    const lmr::WatchRound decision =
        lmr::decideWatchRound(watch, tick.attached, tick.searchRunning, tick.ownEngineStarted);
    watch = decision.next;
    if (decision.action == lmr::WatchAction::StartEngine) starts.push_back(static_cast<int>(round) + 1);
  }
  return starts;
}

std::vector<WatchTick> repeated(int count, WatchTick tick) { return std::vector<WatchTick>(count, tick); }

std::vector<WatchTick> joined(std::initializer_list<std::vector<WatchTick>> parts) {
  std::vector<WatchTick> all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

TEST(ConnectRound, LostServerWatchStartsAnEngineAfterTheSearchTime) {
  const WatchTick attached{true};
  const WatchTick lost{false};
  const WatchTick dnsSdAway{false, false};
  const WatchTick lostWithOwnEngine{false, true, true};

  // Never attached: nothing to have lost (the connect sequence decided already).
  EXPECT_EQ(engineStarts(repeated(30, lost)), std::vector<int>{});
  // Lost after round 2: the fourth round without it starts an engine, once.
  EXPECT_EQ(engineStarts(joined({repeated(2, attached), repeated(20, lost)})), std::vector<int>{6});
  // Attached when the watch began counts as having had one.
  EXPECT_EQ(engineStarts(repeated(4, lost), true), std::vector<int>{4});
  // Found again within the search time: the count starts over.
  EXPECT_EQ(engineStarts(joined({{attached}, repeated(3, lost), {attached}, repeated(3, lost)})), std::vector<int>{});
  // DNS-SD away (a daemon restart reports every server gone): those rounds do not count, and the
  // search gets its full time once it runs again.
  EXPECT_EQ(engineStarts(joined({{attached}, repeated(3, lost), repeated(5, dnsSdAway), repeated(3, lost)})),
            std::vector<int>{});
  EXPECT_EQ(engineStarts(joined({{attached}, repeated(3, lost), repeated(5, dnsSdAway), repeated(4, lost)})),
            std::vector<int>{13});
  EXPECT_EQ(engineStarts(joined({{attached}, repeated(30, dnsSdAway)})), std::vector<int>{});
  // An engine of our own was started (and may have died): the tray restarts it or gives up; the
  // watch forgets the lost server.
  EXPECT_EQ(engineStarts(joined({{attached}, repeated(10, lostWithOwnEngine), repeated(4, lost)})), std::vector<int>{});
  // Attached and lost again later: another start.
  EXPECT_EQ(engineStarts(joined({{attached}, repeated(4, lost), {attached}, repeated(4, lost)})),
            (std::vector<int>{5, 10}));
}

}  // namespace
