// The engine's queues on their own: a device's worker (capped, drops abandoned jobs, refreshes
// first) and the stream-message queue (coalesced per stream, bounded while the document is busy).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "../src/DeviceWorker.h"
#include "../src/StateDocument.h"
#include "../src/StreamMessageQueue.h"
#include "testing/wait_until.h"

using testing_support::waitUntil;
using namespace std::chrono_literals;

namespace {

// Holds whoever calls pass() until open().
class Gate {
 public:
  void pass() {
    std::unique_lock<std::mutex> lock(mutex_);
    ++waiting_;
    opened_.wait(lock, [this] { return open_; });
  }
  void open() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    opened_.notify_all();
  }
  [[nodiscard]] bool someoneWaits() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return waiting_ > 0;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable opened_;
  bool open_ = false;
  int waiting_ = 0;
};

// What ran, in order.
class Trace {
 public:
  void add(const std::string& step) {
    std::lock_guard<std::mutex> lock(mutex_);
    steps_.push_back(step);
  }
  [[nodiscard]] std::vector<std::string> steps() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return steps_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> steps_;
};

std::string addMessage(int64_t id, const std::string& name) {
  return R"({"Action":"Add","Id":)" + std::to_string(id) + R"(,"Payload":{"Name":")" + name + R"("}})";
}

std::string removeMessage(int64_t id) {
  return R"({"Action":"Remove","Id":)" + std::to_string(id) + R"(,"Payload":{}})";
}

std::vector<std::string> streamNames(const tvsk::StateDocument& state) {
  std::vector<std::string> names;
  const tvsk::Json document = state.snapshot();
  for (const auto& stream : document["Streams"]) names.push_back(stream["Name"].get<std::string>());
  return names;
}

}  // namespace

TEST(EngineDeviceWorker, CapsWaitingJobsDropsAbandonedOnesAndRefreshesBeforeTheRest) {
  Gate gate;
  Trace trace;
  tvsk::DeviceWorker worker(3, [&] { trace.add("refresh"); });
  std::atomic<bool> secondAbandoned{false};
  const auto job = [&](const std::string& name, std::function<bool()> abandoned = {}) {
    return tvsk::DeviceWorker::Job{[&trace, name] { trace.add(name); }, std::move(abandoned)};
  };
  ASSERT_EQ(worker.post({[&] {
                           trace.add("first");
                           gate.pass();
                         },
                         {}}),
            tvsk::DeviceWorker::Admission::Queued);
  ASSERT_TRUE(waitUntil([&] { return gate.someoneWaits(); }, 5s));
  EXPECT_EQ(worker.post(job("second", [&] { return secondAbandoned.load(); })), tvsk::DeviceWorker::Admission::Queued);
  EXPECT_EQ(worker.post(job("third")), tvsk::DeviceWorker::Admission::Queued);
  EXPECT_EQ(worker.post(job("fourth")), tvsk::DeviceWorker::Admission::Queued);
  EXPECT_EQ(worker.post(job("refused")), tvsk::DeviceWorker::Admission::Full);
  EXPECT_EQ(worker.waitingJobs(), 3u);
  // A job whose caller gave up frees its place.
  secondAbandoned = true;
  EXPECT_EQ(worker.post(job("fifth")), tvsk::DeviceWorker::Admission::Queued);
  EXPECT_EQ(worker.waitingJobs(), 3u);
  for (int i = 0; i < 5; ++i) worker.requestRefresh();
  gate.open();
  ASSERT_TRUE(waitUntil([&] { return trace.steps().size() == 5; }, 5s));
  EXPECT_EQ(trace.steps(), (std::vector<std::string>{"first", "refresh", "third", "fourth", "fifth"}));

  worker.stop();
  EXPECT_EQ(worker.post(job("late")), tvsk::DeviceWorker::Admission::Stopping);
  worker.requestRefresh();
  EXPECT_EQ(trace.steps().size(), 5u);
}

TEST(EngineDeviceWorker, AJobAbandonedAfterItWasQueuedNeverRunsAndStopDropsWhatWaits) {
  Gate gate;
  Trace trace;
  tvsk::DeviceWorker worker(8, [] {});
  worker.post({[&] { gate.pass(); }, {}});
  ASSERT_TRUE(waitUntil([&] { return gate.someoneWaits(); }, 5s));
  std::atomic<bool> abandoned{false};
  worker.post({[&] { trace.add("abandoned"); }, [&] { return abandoned.load(); }});
  worker.post({[&] { trace.add("kept"); }, [] { return false; }});
  abandoned = true;
  gate.open();
  ASSERT_TRUE(waitUntil([&] { return !trace.steps().empty(); }, 5s));
  EXPECT_EQ(trace.steps(), std::vector<std::string>{"kept"});

  Gate second;
  worker.post({[&] { second.pass(); }, {}});
  ASSERT_TRUE(waitUntil([&] { return second.someoneWaits(); }, 5s));
  worker.post({[&] { trace.add("dropped at stop"); }, {}});
  std::thread stopper([&] { worker.stop(); });
  ASSERT_TRUE(waitUntil([&] { return worker.post({[] {}, {}}) == tvsk::DeviceWorker::Admission::Stopping; }, 5s));
  second.open();
  stopper.join();
  EXPECT_EQ(trace.steps(), std::vector<std::string>{"kept"});
}

TEST(EngineStreamMessages, ChurnWhileTheDocumentIsBusyWaitsAsOneMessagePerStreamShownOrAdded) {
  tvsk::StateDocument state;
  Gate gate;
  std::atomic<int> applied{0};
  tvsk::StreamMessageQueue queue([&](const std::string& message) {
    gate.pass();
    const bool taken = state.applyStreamMessage(message);
    EXPECT_TRUE(taken) << message;
    ++applied;
    return taken;
  });
  // The first message is taken and holds the queue's thread: the document is busy from here on.
  ASSERT_TRUE(queue.post(addMessage(0, "shown first")));
  ASSERT_TRUE(waitUntil([&] { return gate.someoneWaits(); }, 5s));
  // 100,000 messages of streams that come and go, beside ten that stay.
  for (int64_t id = 1; id <= 50000; ++id) {
    ASSERT_TRUE(queue.post(addMessage(id, "churn " + std::to_string(id))));
    ASSERT_TRUE(queue.post(removeMessage(id)));
    if (id % 5000 == 0) {
      ASSERT_TRUE(queue.post(addMessage(100000 + id, "stays " + std::to_string(id / 5000))));
    }
  }
  // The taken stream's removal must wait: it reaches the document after the stream did.
  ASSERT_TRUE(queue.post(removeMessage(0)));
  // And a stream changed twice while waiting is one message, its latest.
  ASSERT_TRUE(queue.post(addMessage(7, "seven")));
  ASSERT_TRUE(queue.post(addMessage(7, "seven, renamed")));
  EXPECT_EQ(queue.waitingMessages(), 12u);
  EXPECT_EQ(queue.droppedMessages(), 0u);

  gate.open();
  ASSERT_TRUE(waitUntil([&] { return queue.waitingMessages() == 0 && applied == 13; }, 5s)) << applied;
  std::vector<std::string> expected{"seven, renamed"};
  for (int i = 1; i <= 10; ++i) expected.push_back("stays " + std::to_string(i));
  EXPECT_EQ(streamNames(state), expected);
}

TEST(EngineStreamMessages, AFullQueueHoldsTheSenderForAWhileThenDropsAndOnlyMessagesAreQueued) {
  tvsk::StateDocument state;
  Gate gate;
  tvsk::StreamMessageQueue::Limits limits;
  limits.maxMessages = 2;
  limits.fullWait = 1000ms;
  tvsk::StreamMessageQueue queue(
      [&](const std::string& message) {
        gate.pass();
        return state.applyStreamMessage(message);
      },
      limits);
  ASSERT_TRUE(queue.post(addMessage(1, "one")));
  ASSERT_TRUE(waitUntil([&] { return gate.someoneWaits(); }, 5s));
  ASSERT_TRUE(queue.post(addMessage(2, "two")));
  ASSERT_TRUE(queue.post(addMessage(3, "three")));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(queue.post(addMessage(4, "four")));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 1000ms);
  EXPECT_EQ(queue.droppedMessages(), 1u);
  // A stream already waiting takes no more room: its newer message goes in at once.
  EXPECT_TRUE(queue.post(addMessage(3, "three, renamed")));
  for (const char* notAMessage :
       {"", "[]", R"({"Action":"Add"})", R"({"Action":"Change","Id":5})", R"({"Action":"Remove","Id":"5"})"}) {
    EXPECT_FALSE(queue.post(notAMessage)) << notAMessage;
  }
  EXPECT_EQ(queue.waitingMessages(), 2u);

  // A sender waiting for room gets it once the queue's thread takes what waits.
  std::thread sender([&] { EXPECT_TRUE(queue.post(addMessage(5, "five"))); });
  std::this_thread::sleep_for(50ms);
  gate.open();
  sender.join();
  ASSERT_TRUE(waitUntil([&] { return streamNames(state).size() == 4; }, 5s));
  EXPECT_EQ(streamNames(state), (std::vector<std::string>{"one", "two", "three, renamed", "five"}));
  queue.stop();
  EXPECT_FALSE(queue.post(addMessage(6, "six")));
}
