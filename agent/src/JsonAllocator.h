#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>

#include <rapidjson/allocators.h>

namespace lmr {

// Process-wide totals over every MemoryPoolAllocator alive.
struct AllocatorCounters {
  uint32_t liveAllocators = 0;  // allocators constructed and not yet destroyed
  uint32_t pooledBytes = 0;     // chunk capacity they hold (headers not counted)
};

[[nodiscard]] AllocatorCounters allocatorCounters();

// The agent's rapidjson allocator: a pool of chunks from the C heap, allocation by pointer bump,
// nothing released before the allocator itself is destroyed. Differs from rapidjson's own pool:
// the first chunk is taken at construction, blocks are 8-byte aligned, a heap failure throws
// std::bad_alloc, and every allocator is counted process-wide.
class MemoryPoolAllocator {
 public:
  static constexpr bool kNeedFree = false;
  static constexpr size_t kDefaultChunkCapacity = 65536;

  explicit MemoryPoolAllocator(size_t chunkCapacity = kDefaultChunkCapacity,
                               rapidjson::CrtAllocator* baseAllocator = nullptr);
  ~MemoryPoolAllocator();
  MemoryPoolAllocator(const MemoryPoolAllocator&) = delete;
  MemoryPoolAllocator& operator=(const MemoryPoolAllocator&) = delete;

  // Never null; a size of 0 gives a valid pointer to no bytes.
  [[nodiscard]] void* Malloc(size_t size);
  // Never shrinks; grows the newest block in place when its chunk has room, else copies.
  [[nodiscard]] void* Realloc(void* block, size_t oldSize, size_t newSize);
  static void Free(void*) {}

  // Links a new chunk of this capacity in front of the list.
  void AddChunk(size_t capacity);
  // Releases every chunk and takes them off the pooled-byte count.
  void Clear();

  [[nodiscard]] size_t chunkCapacity() const { return chunkCapacity_; }
  // Bytes handed out of the newest chunk so far.
  [[nodiscard]] size_t usedInHeadChunk() const;

 private:
  struct ChunkHeader {
    size_t capacity;
    size_t used;
    ChunkHeader* next;
  };
  static_assert(sizeof(ChunkHeader) == 24, "chunk storage must stay 8-byte aligned");

  [[nodiscard]] static char* storage(ChunkHeader* chunk) { return reinterpret_cast<char*>(chunk + 1); }

  ChunkHeader* head_ = nullptr;
  size_t chunkCapacity_;
  void* userBuffer_ = nullptr;  // never set: chunks always come from the base allocator
  rapidjson::CrtAllocator* baseAllocator_;
  std::unique_ptr<rapidjson::CrtAllocator> ownBaseAllocator_;
  uint32_t prohibited_ = 0;  // no operation sets it; kept so a debug build can forbid allocation
  int32_t id_ = -1;          // tag of this allocator in trace lines
};

// The C heap for rapidjson's growing stacks (parse stacks, writer buffers): rapidjson's own
// CrtAllocator hands back null when the heap is exhausted, which rapidjson then writes through;
// this one throws std::bad_alloc instead, like the pool above.
class JsonHeapAllocator {
 public:
  static constexpr bool kNeedFree = true;

  [[nodiscard]] void* Malloc(size_t size) {
    if (size == 0) {
      return nullptr;
    }
    return orThrow(std::malloc(size));
  }
  [[nodiscard]] void* Realloc(void* block, size_t /*oldSize*/, size_t newSize) {
    if (newSize == 0) {
      std::free(block);
      return nullptr;
    }
    return orThrow(std::realloc(block, newSize));
  }
  static void Free(void* block) { std::free(block); }

 private:
  static void* orThrow(void* block) {
    if (block == nullptr) {
      throw std::bad_alloc();
    }
    return block;
  }
};

}  // namespace lmr
