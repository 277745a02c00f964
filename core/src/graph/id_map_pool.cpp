#include "graph/id_map_pool.hpp"

#include <new>
#include <utility>

namespace korvalinth {

IdMapPool::~IdMapPool() {
  for (Chunk* c = newest_; c;) ::operator delete(std::exchange(c, c->previous));
}

void* IdMapPool::cut_from_new_chunk(std::size_t block_bytes) {
  char* raw = static_cast<char*>(::operator new(next_chunk_bytes_));
  newest_ = ::new (raw) Chunk{newest_};
  next_ = raw + sizeof(Chunk);
  end_ = raw + next_chunk_bytes_;
  if (next_chunk_bytes_ < kLargestChunk) next_chunk_bytes_ *= 2;
  return std::exchange(next_, next_ + block_bytes);
}

}  // namespace korvalinth
