#include "WorkQueue.h"

#include <exception>
#include <future>
#include <string>

#include "EngineLog.h"

namespace tvsk {

WorkQueue::WorkQueue() : thread_([this] { run(); }) {}

WorkQueue::~WorkQueue() { stop(); }

bool WorkQueue::post(std::function<void()> task) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!stopping_) {
      tasks_.push_back(std::move(task));
      wake_.notify_one();
      return true;
    }
  }
  return false;
}

bool WorkQueue::runAndWait(std::function<void()> task) {
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> finished = done->get_future();
  if (!post([task = std::move(task), done] {
        try {
          task();
        } catch (...) {
          done->set_value();
          throw;
        }
        done->set_value();
      })) {
    return false;
  }
  // A task dropped by stop() breaks the promise; that counts as not run.
  try {
    finished.get();
  } catch (const std::future_error&) {
    return false;
  }
  return true;
}

void WorkQueue::stop() {
  std::deque<std::function<void()>> dropped;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_ && !thread_.joinable()) {
      return;
    }
    stopping_ = true;
    wake_.notify_one();
  }
  if (thread_.joinable()) {
    thread_.join();
  }
  std::lock_guard<std::mutex> lock(mutex_);
  dropped.swap(tasks_);
}

void WorkQueue::run() {
  for (;;) {
    std::function<void()> task;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
      if (stopping_) {
        return;
      }
      task = std::move(tasks_.front());
      tasks_.pop_front();
    }
    runReported("worker", task);
  }
}

}  // namespace tvsk
