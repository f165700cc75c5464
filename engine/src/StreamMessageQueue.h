#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>

namespace tvsk {

// The stream messages of the discovery plug-ins on their way into the state document, applied on a
// thread of their own so that no device work delays them. Waiting messages are kept per stream Id,
// the latest one winning, and an "Add" still waiting when the "Remove" of its Id arrives cancels
// out with it: whatever arrives while the document is busy, what waits stays within the streams
// shown plus those being added. Past the limits a sender waits for room (up to `fullWait`), then
// its message is dropped and counted.
class StreamMessageQueue {
 public:
  struct Limits {
    std::size_t maxMessages = 16384;
    std::size_t maxBytes = 64 * 1024 * 1024;
    std::chrono::milliseconds fullWait{2000};
  };
  // Applies one message to the document, false when the document refused it; called on the
  // queue's thread only.
  using Apply = std::function<bool(const std::string& message)>;

  explicit StreamMessageQueue(Apply apply) : StreamMessageQueue(std::move(apply), Limits{}) {}
  StreamMessageQueue(Apply apply, Limits limits);
  ~StreamMessageQueue();
  StreamMessageQueue(const StreamMessageQueue&) = delete;
  StreamMessageQueue& operator=(const StreamMessageQueue&) = delete;

  // Any thread. False (with a console line) when the text is no "Add" or "Remove" with an integer
  // "Id", or when it was dropped.
  bool post(std::string message);
  // Drops what waits, wakes waiting senders and joins the thread. Idempotent.
  void stop();

  [[nodiscard]] std::size_t waitingMessages() const;
  [[nodiscard]] uint64_t droppedMessages() const;

 private:
  struct Waiting {
    std::string text;
    bool remove = false;
  };

  void run();

  const Apply apply_;
  const Limits limits_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;  // the queue's thread: something waits, or stop
  std::condition_variable room_;  // senders: a batch was taken, or stop
  std::map<int64_t, Waiting> waiting_;
  std::size_t waitingBytes_ = 0;
  // Ids whose "Add" is in the document once every batch taken so far is applied.
  std::set<int64_t> shown_;
  uint64_t dropped_ = 0;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace tvsk
