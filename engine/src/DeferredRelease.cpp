#include "DeferredRelease.h"

namespace tvsk {

DeferredRelease::DeferredRelease() : queue_(std::make_shared<Queue>()) {}

DeferredRelease::~DeferredRelease() {
  std::vector<Dropped> dropped;
  std::lock_guard<std::mutex> lock(queue_->mutex);
  queue_->open = false;
  dropped.swap(queue_->dropped);
}

void DeferredRelease::releaseDropped() {
  std::vector<Dropped> dropped;
  std::lock_guard<std::mutex> lock(queue_->mutex);
  dropped.swap(queue_->dropped);
}

}  // namespace tvsk
