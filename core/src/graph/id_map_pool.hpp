#pragma once
// The memory of a graph's id map: its entries, and its small bucket arrays,
// are blocks of a few sizes that come and go one at a time. Each size keeps
// a list of the blocks given back and cuts new ones from chunks that grow
// with the map, so a block costs a few instructions and no bookkeeping
// beside it; larger requests go to the heap.

#include <cstddef>
#include <new>

namespace korvalinth {

class IdMapPool {
 public:
  IdMapPool() noexcept = default;
  IdMapPool(const IdMapPool&) = delete;
  IdMapPool& operator=(const IdMapPool&) = delete;
  // Frees every chunk: the map using the pool has gone before it.
  ~IdMapPool();

  // Inline and not virtual: the map asks for a block per entry, and a call
  // through a memory resource's table cost about as much as the block.
  void* allocate(std::size_t bytes, std::size_t alignment) {
    const std::size_t size_class = class_of(bytes, alignment);
    if (size_class == kClasses) [[unlikely]]
      return ::operator new(bytes, std::align_val_t(alignment));
    if (FreeBlock* block = free_[size_class]) {
      free_[size_class] = block->next;
      return block;
    }
    const std::size_t block_bytes = (size_class + 1) * kGrain;
    if (static_cast<std::size_t>(end_ - next_) >= block_bytes) [[likely]] {
      void* block = next_;
      next_ += block_bytes;
      return block;
    }
    return cut_from_new_chunk(block_bytes);
  }
  void deallocate(void* block, std::size_t bytes, std::size_t alignment) noexcept {
    const std::size_t size_class = class_of(bytes, alignment);
    if (size_class == kClasses) [[unlikely]]
      return ::operator delete(block, bytes, std::align_val_t(alignment));
    free_[size_class] = ::new (block) FreeBlock{free_[size_class]};
  }

 private:
  static constexpr std::size_t kGrain = alignof(std::max_align_t);
  static constexpr std::size_t kClasses = 8;  // blocks up to 8 grains
  static constexpr std::size_t kFirstChunk = 1024;
  static constexpr std::size_t kLargestChunk = 64 * 1024;

  struct FreeBlock {
    FreeBlock* next;
  };
  struct alignas(kGrain) Chunk {
    Chunk* previous;
  };

  // The size class of a request the pool serves, else kClasses.
  static std::size_t class_of(std::size_t bytes, std::size_t alignment) noexcept {
    if (alignment > kGrain || bytes == 0 || bytes > kClasses * kGrain) return kClasses;
    return (bytes - 1) / kGrain;
  }
  // A block cut from a new chunk: the newest chunk's uncut rest is too small
  // for this size, and is left unused.
  void* cut_from_new_chunk(std::size_t block_bytes);

  FreeBlock* free_[kClasses] = {};
  char* next_ = nullptr;  // the uncut rest of the newest chunk
  char* end_ = nullptr;
  Chunk* newest_ = nullptr;
  std::size_t next_chunk_bytes_ = kFirstChunk;
};

// The map's allocator: its entries and bucket arrays from the graph's pool.
template <class T>
struct IdMapAllocator {
  using value_type = T;
  explicit IdMapAllocator(IdMapPool* p) noexcept : pool(p) {}
  template <class U>
  IdMapAllocator(const IdMapAllocator<U>& o) noexcept : pool(o.pool) {}

  T* allocate(std::size_t n) { return static_cast<T*>(pool->allocate(n * sizeof(T), alignof(T))); }
  void deallocate(T* p, std::size_t n) noexcept { pool->deallocate(p, n * sizeof(T), alignof(T)); }
  template <class U>
  friend bool operator==(const IdMapAllocator& a, const IdMapAllocator<U>& b) noexcept {
    return a.pool == b.pool;
  }

  IdMapPool* pool;
};

}  // namespace korvalinth
