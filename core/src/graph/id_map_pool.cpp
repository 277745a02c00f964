#include "graph/id_map_pool.hpp"

#include <new>
#include <utility>

namespace korvalinth {

IdMapPool::~IdMapPool() {
  for (Chunk* c = newest_; c;) ::operator delete(std::exchange(c, c->previous));
}

void* IdMapPool::do_allocate(std::size_t bytes, std::size_t alignment) {
  const std::size_t size_class = class_of(bytes, alignment);
  if (size_class == kClasses) return std::pmr::new_delete_resource()->allocate(bytes, alignment);
  if (FreeBlock* block = free_[size_class]) {
    free_[size_class] = block->next;
    return block;
  }
  return cut((size_class + 1) * kGrain);
}

void IdMapPool::do_deallocate(void* block, std::size_t bytes, std::size_t alignment) {
  const std::size_t size_class = class_of(bytes, alignment);
  if (size_class == kClasses) return std::pmr::new_delete_resource()->deallocate(block, bytes, alignment);
  free_[size_class] = ::new (block) FreeBlock{free_[size_class]};
}

void* IdMapPool::cut(std::size_t block_bytes) {
  if (static_cast<std::size_t>(end_ - next_) < block_bytes) {
    // The newest chunk's uncut rest is too small for this size: left unused.
    char* raw = static_cast<char*>(::operator new(next_chunk_bytes_));
    newest_ = ::new (raw) Chunk{newest_};
    next_ = raw + sizeof(Chunk);
    end_ = raw + next_chunk_bytes_;
    if (next_chunk_bytes_ < kLargestChunk) next_chunk_bytes_ *= 2;
  }
  return std::exchange(next_, next_ + block_bytes);
}

}  // namespace korvalinth
