#include "StreamMessageQueue.h"

#include <utility>

#include "EngineLog.h"
#include "JsonText.h"

namespace tvsk {
namespace {

constexpr const char* kAddAction = "Add";
constexpr const char* kRemoveAction = "Remove";
// A console line shows at most this much of a message.
constexpr std::size_t kMaxPrintedBytes = 200;

std::string printable(const std::string& message) {
  return message.size() <= kMaxPrintedBytes ? message : message.substr(0, kMaxPrintedBytes) + "...";
}

}  // namespace

StreamMessageQueue::StreamMessageQueue(Apply apply, Limits limits)
    : apply_(std::move(apply)), limits_(limits), thread_([this] { run(); }) {}

StreamMessageQueue::~StreamMessageQueue() { stop(); }

bool StreamMessageQueue::post(std::string message) {
  const auto parsed = parseJson(message);
  const Json* action = nullptr;
  const Json* id = nullptr;
  if (parsed && parsed->is_object()) {
    const auto actionMember = parsed->find("Action");
    const auto idMember = parsed->find("Id");
    action = actionMember != parsed->end() ? &*actionMember : nullptr;
    id = idMember != parsed->end() ? &*idMember : nullptr;
  }
  if (action == nullptr || id == nullptr || !id->is_number_integer() ||
      (*action != kAddAction && *action != kRemoveAction)) {
    printEngineLine("stream message ignored: " + printable(message));
    return false;
  }
  const int64_t streamId = id->get<int64_t>();
  const bool remove = *action == kRemoveAction;

  std::unique_lock<std::mutex> lock(mutex_);
  const auto deadline = std::chrono::steady_clock::now() + limits_.fullWait;
  for (;;) {
    if (stopping_) {
      return false;
    }
    const auto found = waiting_.find(streamId);
    if (remove && found != waiting_.end() && !found->second.remove && shown_.count(streamId) == 0) {
      // The stream never reached the document: neither message needs to.
      waitingBytes_ -= found->second.text.size();
      waiting_.erase(found);
      return true;
    }
    const std::size_t replaced = found != waiting_.end() ? found->second.text.size() : 0;
    const bool countFits = found != waiting_.end() || waiting_.size() < limits_.maxMessages;
    // A message larger than the byte limit still goes through once nothing else waits.
    const bool bytesFit = waitingBytes_ - replaced + message.size() <= limits_.maxBytes || waitingBytes_ == replaced;
    if (countFits && bytesFit) {
      waitingBytes_ = waitingBytes_ - replaced + message.size();
      waiting_[streamId] = Waiting{std::move(message), remove};
      wake_.notify_one();
      return true;
    }
    if (room_.wait_until(lock, deadline) == std::cv_status::timeout) {
      ++dropped_;
      break;
    }
  }
  lock.unlock();
  printEngineLine("stream message dropped, the queue stayed full: " + printable(message), Console::Error);
  return false;
}

void StreamMessageQueue::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    wake_.notify_one();
    room_.notify_all();
  }
  if (thread_.joinable()) {
    thread_.join();
  }
  std::lock_guard<std::mutex> lock(mutex_);
  waiting_.clear();
  waitingBytes_ = 0;
}

std::size_t StreamMessageQueue::waitingMessages() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return waiting_.size();
}

uint64_t StreamMessageQueue::droppedMessages() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return dropped_;
}

void StreamMessageQueue::run() {
  for (;;) {
    std::map<int64_t, Waiting> batch;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !waiting_.empty(); });
      if (stopping_) {
        return;
      }
      batch.swap(waiting_);
      waitingBytes_ = 0;
      for (const auto& [id, message] : batch) {
        if (message.remove) {
          shown_.erase(id);
        } else {
          shown_.insert(id);
        }
      }
      room_.notify_all();
    }
    for (const auto& entry : batch) {
      runReported("stream messages", [&] {
        if (!apply_(entry.second.text)) {
          printEngineLine("stream message ignored: " + printable(entry.second.text));
        }
      });
    }
  }
}

}  // namespace tvsk
