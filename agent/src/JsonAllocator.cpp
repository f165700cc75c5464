#include "agent/src/JsonAllocator.h"

#include <cstdio>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>

namespace lmr {
namespace {

constexpr bool kCounting = true;
constexpr bool kTracing = false;

// 8 keeps every block aligned for the doubles and pointers rapidjson stores in it.
constexpr size_t kAlignment = 8;

size_t roundUp(size_t size) {
  if (size > std::numeric_limits<size_t>::max() - (kAlignment - 1)) {
    throw std::bad_alloc();
  }
  return (size + kAlignment - 1) & ~(kAlignment - 1);
}

// Shared by every allocator of the process; each change returns the new value.
class Counters {
 public:
  uint32_t addLive(int32_t delta) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    counters_.liveAllocators += static_cast<uint32_t>(delta);
    return counters_.liveAllocators;
  }
  uint32_t addPooled(uint32_t bytes) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    counters_.pooledBytes += bytes;
    return counters_.pooledBytes;
  }
  uint32_t subtractPooled(uint32_t bytes) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    counters_.pooledBytes -= bytes;
    return counters_.pooledBytes;
  }
  AllocatorCounters snapshot() {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return counters_;
  }

 private:
  std::recursive_mutex mutex_;
  AllocatorCounters counters_;
};

Counters& counters() {
  static Counters instance;
  return instance;
}

}  // namespace

AllocatorCounters allocatorCounters() { return counters().snapshot(); }

MemoryPoolAllocator::MemoryPoolAllocator(size_t chunkCapacity, rapidjson::CrtAllocator* baseAllocator)
    : chunkCapacity_(chunkCapacity), baseAllocator_(baseAllocator) {
  if (baseAllocator_ == nullptr) {
    ownBaseAllocator_ = std::make_unique<rapidjson::CrtAllocator>();
    baseAllocator_ = ownBaseAllocator_.get();
  }
  if (kCounting) {
    const uint32_t live = counters().addLive(1);
    if (kTracing) {
      std::printf("[0x%x] rapidJson: MemoryPoolAllocator ctor: %i\n", static_cast<unsigned>(id_),
                  static_cast<int>(live));
    }
  }
  try {
    AddChunk(chunkCapacity_);
  } catch (...) {
    // No destructor runs for a failed construction: undo the count here.
    if (kCounting) {
      counters().addLive(-1);
    }
    throw;
  }
}

MemoryPoolAllocator::~MemoryPoolAllocator() {
  Clear();
  if (kCounting) {
    const uint32_t live = counters().addLive(-1);
    if (kTracing) {
      std::printf("[0x%x] rapidJson: MemoryPoolAllocator dtor: %i\n", static_cast<unsigned>(id_),
                  static_cast<int>(live));
    }
  }
}

void MemoryPoolAllocator::Clear() {
  if (kCounting) {
    size_t sum = 0;
    for (ChunkHeader* chunk = head_; chunk != nullptr; chunk = chunk->next) {
      sum += chunk->capacity;
    }
    const uint32_t total = counters().subtractPooled(static_cast<uint32_t>(sum));
    if (kTracing) {
      std::printf("[0x%x] rapidJson: MemoryPoolAllocator: clear(%i): memory: %i\n", static_cast<unsigned>(id_),
                  static_cast<int>(sum), static_cast<int>(total));
    }
  }
  while (head_ != nullptr) {
    ChunkHeader* next = head_->next;
    rapidjson::CrtAllocator::Free(head_);
    head_ = next;
  }
}

void MemoryPoolAllocator::AddChunk(size_t capacity) {
  if (capacity > std::numeric_limits<size_t>::max() - sizeof(ChunkHeader)) {
    throw std::bad_alloc();
  }
  auto* chunk = static_cast<ChunkHeader*>(baseAllocator_->Malloc(sizeof(ChunkHeader) + capacity));
  if (chunk == nullptr) {
    throw std::bad_alloc();
  }
  // Counted only once the chunk exists, so a failed chunk leaves the totals right.
  if (kCounting) {
    const uint32_t total = counters().addPooled(static_cast<uint32_t>(capacity));
    if (kTracing) {
      std::printf("[0x%x] rapidJson: MemoryPoolAllocator: AddChunk: memory: %i\n", static_cast<unsigned>(id_),
                  static_cast<int>(total));
    }
  }
  chunk->capacity = capacity;
  chunk->used = 0;
  chunk->next = head_;
  head_ = chunk;
}

size_t MemoryPoolAllocator::usedInHeadChunk() const { return head_ != nullptr ? head_->used : 0; }

void* MemoryPoolAllocator::Malloc(size_t size) {
  if (prohibited_ != 0) {
    std::printf("rapidJson: Malloc: allocation prohibited, size = %i\n", static_cast<int>(size));
    if (kCounting) {
      const AllocatorCounters now = counters().snapshot();
      std::printf("rapidJson: MemoryPoolAllocator: number of allocator: %i, memory allocated: %i\n",
                  static_cast<int>(now.liveAllocators), static_cast<int>(now.pooledBytes));
    }
  }
  const size_t rounded = roundUp(size);
  if (head_ == nullptr || rounded > head_->capacity - head_->used) {
    AddChunk(rounded > chunkCapacity_ ? rounded : chunkCapacity_);
  }
  void* block = storage(head_) + head_->used;
  head_->used += rounded;
  return block;
}

void* MemoryPoolAllocator::Realloc(void* block, size_t oldSize, size_t newSize) {
  if (block == nullptr) {
    return Malloc(newSize);
  }
  if (oldSize >= newSize) {
    return block;
  }
  // The newest block of the head chunk can grow where it is. Blocks occupy their rounded size,
  // so that is what lies between the block and the chunk's used end.
  const size_t oldRounded = roundUp(oldSize);
  const size_t growth = roundUp(newSize) - oldRounded;
  if (head_ != nullptr && oldRounded <= head_->used && block == storage(head_) + head_->used - oldRounded &&
      growth <= head_->capacity - head_->used) {
    head_->used += growth;
    return block;
  }
  void* moved = Malloc(newSize);
  std::memcpy(moved, block, oldSize);
  return moved;
}

}  // namespace lmr
