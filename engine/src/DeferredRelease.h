#pragma once

#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace tvsk {

// Shares values whose last reader may be a thread that must not spend its time freeing them (the
// HTTP I/O thread dropping an outdated view of a large document): a dropped value waits here until
// a thread that can afford it calls releaseDropped(). Values dropped after the owner is gone are
// freed at once.
class DeferredRelease {
 public:
  DeferredRelease();
  ~DeferredRelease();
  DeferredRelease(const DeferredRelease&) = delete;
  DeferredRelease& operator=(const DeferredRelease&) = delete;

  template <typename T>
  [[nodiscard]] std::shared_ptr<const T> share(std::unique_ptr<T> value) {
    // Should the shared pointer fail to allocate, it hands the value to the deleter.
    return std::shared_ptr<const T>(value.release(), Deleter<T>{queue_});
  }
  template <typename T>
  [[nodiscard]] std::shared_ptr<const T> share(T value) {
    return share(std::make_unique<T>(std::move(value)));
  }

  // Frees every value dropped so far, on the calling thread.
  void releaseDropped();

 private:
  using Dropped = std::unique_ptr<const void, void (*)(const void*)>;

  struct Queue {
    std::mutex mutex;
    bool open = true;
    std::vector<Dropped> dropped;
  };

  template <typename T>
  struct Deleter {
    std::shared_ptr<Queue> queue;
    void operator()(const T* value) const noexcept {
      // Declared before the lock, so when it is not queued it is freed after the lock is released.
      Dropped owned(value, [](const void* p) { std::default_delete<const T>()(static_cast<const T*>(p)); });
      std::lock_guard<std::mutex> lock(queue->mutex);
      if (queue->open) {
        try {
          queue->dropped.push_back(std::move(owned));
        } catch (...) {
          // Out of memory: freed here instead.
        }
      }
    }
  };

  std::shared_ptr<Queue> queue_;
};

}  // namespace tvsk
