#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace tvsk {

// One device's own thread: its state refreshes and its action lists run there one at a time, so a
// device that is slow to answer holds up nothing but itself. Refreshes asked for while one waits
// are that one refresh, and it goes before waiting jobs. At most `maxWaitingJobs` jobs wait; a job
// whose caller stopped waiting is dropped without running.
class DeviceWorker {
 public:
  struct Job {
    std::function<void()> run;
    std::function<bool()> abandoned;  // empty: never abandoned
  };
  enum class Admission { Queued, Full, Stopping };

  DeviceWorker(std::size_t maxWaitingJobs, std::function<void()> refresh);
  ~DeviceWorker();
  DeviceWorker(const DeviceWorker&) = delete;
  DeviceWorker& operator=(const DeviceWorker&) = delete;

  Admission post(Job job);
  void requestRefresh();
  // Lets the running call end, drops the rest and joins the thread. Idempotent.
  void stop();

  [[nodiscard]] std::size_t waitingJobs() const;

 private:
  void run();
  // Moves the abandoned jobs out, so they are destroyed without the lock.
  void takeAbandoned(std::deque<Job>& into);  // mutex_ held

  const std::size_t maxWaitingJobs_;
  const std::function<void()> refresh_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Job> jobs_;
  bool refreshWanted_ = false;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace tvsk
