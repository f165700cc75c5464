#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace tvsk {

// One worker thread running posted tasks in order. A task that throws is reported and dropped;
// tasks posted after stop() are dropped.
class WorkQueue {
 public:
  WorkQueue();
  ~WorkQueue();
  WorkQueue(const WorkQueue&) = delete;
  WorkQueue& operator=(const WorkQueue&) = delete;

  // False (and the task destroyed on this thread) once the queue is stopping.
  bool post(std::function<void()> task);
  // Runs the task on the worker and waits for it; false when the queue is stopping.
  bool runAndWait(std::function<void()> task);
  // Lets the running task end, drops the rest and joins the thread. Idempotent.
  void stop();

 private:
  void run();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> tasks_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace tvsk
