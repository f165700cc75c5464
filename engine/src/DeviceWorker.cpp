#include "DeviceWorker.h"

#include <utility>

#include "EngineLog.h"

namespace tvsk {
namespace {

bool isAbandoned(const DeviceWorker::Job& job) { return job.abandoned && job.abandoned(); }

}  // namespace

DeviceWorker::DeviceWorker(std::size_t maxWaitingJobs, std::function<void()> refresh)
    : maxWaitingJobs_(maxWaitingJobs), refresh_(std::move(refresh)), thread_([this] { run(); }) {}

DeviceWorker::~DeviceWorker() { stop(); }

DeviceWorker::Admission DeviceWorker::post(Job job) {
  std::deque<Job> abandoned;
  std::lock_guard<std::mutex> lock(mutex_);
  if (stopping_) {
    return Admission::Stopping;
  }
  // Jobs whose callers gave up hold no place in the line.
  takeAbandoned(abandoned);
  if (jobs_.size() >= maxWaitingJobs_) {
    return Admission::Full;
  }
  jobs_.push_back(std::move(job));
  wake_.notify_one();
  return Admission::Queued;
}

void DeviceWorker::requestRefresh() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!stopping_ && !refreshWanted_) {
    refreshWanted_ = true;
    wake_.notify_one();
  }
}

std::size_t DeviceWorker::waitingJobs() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return jobs_.size();
}

void DeviceWorker::takeAbandoned(std::deque<Job>& into) {
  for (auto it = jobs_.begin(); it != jobs_.end();) {
    if (isAbandoned(*it)) {
      into.push_back(std::move(*it));
      it = jobs_.erase(it);
    } else {
      ++it;
    }
  }
}

void DeviceWorker::stop() {
  std::deque<Job> dropped;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    wake_.notify_one();
  }
  if (thread_.joinable()) {
    thread_.join();
  }
  std::lock_guard<std::mutex> lock(mutex_);
  dropped.swap(jobs_);
}

void DeviceWorker::run() {
  for (;;) {
    Job job;
    bool refresh = false;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || refreshWanted_ || !jobs_.empty(); });
      if (stopping_) {
        return;
      }
      if (refreshWanted_) {
        refreshWanted_ = false;
        refresh = true;
      } else {
        job = std::move(jobs_.front());
        jobs_.pop_front();
      }
    }
    if (refresh) {
      runReported("device worker", refresh_);
    } else if (!isAbandoned(job)) {
      runReported("device worker", job.run);
    }
  }
}

}  // namespace tvsk
