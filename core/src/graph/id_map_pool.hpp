#pragma once
// The memory of a graph's id map: its entries, and its small bucket arrays,
// are blocks of a few sizes that come and go one at a time. Each size keeps
// a list of the blocks given back and cuts new ones from chunks that grow
// with the map, so a block costs a few instructions and no bookkeeping
// beside it; larger requests go to the heap.

#include <cstddef>
#include <memory_resource>

namespace korvalinth {

class IdMapPool final : public std::pmr::memory_resource {
 public:
  IdMapPool() noexcept = default;
  IdMapPool(const IdMapPool&) = delete;
  IdMapPool& operator=(const IdMapPool&) = delete;
  // Frees every chunk: the map using the pool has gone before it.
  ~IdMapPool() override;

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

  void* do_allocate(std::size_t bytes, std::size_t alignment) override;
  void do_deallocate(void* block, std::size_t bytes, std::size_t alignment) override;
  bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override { return this == &other; }

  // The size class of a request the pool serves, else kClasses.
  static std::size_t class_of(std::size_t bytes, std::size_t alignment) noexcept {
    if (alignment > kGrain || bytes == 0 || bytes > kClasses * kGrain) return kClasses;
    return (bytes - 1) / kGrain;
  }
  void* cut(std::size_t block_bytes);

  FreeBlock* free_[kClasses] = {};
  char* next_ = nullptr;  // the uncut rest of the newest chunk
  char* end_ = nullptr;
  Chunk* newest_ = nullptr;
  std::size_t next_chunk_bytes_ = kFirstChunk;
};

}  // namespace korvalinth
