#include "node/arena/dep_block_pool.hpp"

#include <algorithm>
#include <new>
#include <utility>

namespace korvalinth {

namespace {

// A core's first slab of a size is small (most graphs are), later ones
// grow to a few pages.
constexpr std::uint32_t kFirstSlabBlocks = 2;
constexpr std::uint32_t kLargestSlabBlocks = 64;
constexpr std::size_t kLargestSlabBytes = 8192;

struct FreeBlock {
  FreeBlock* next;
};

}  // namespace

struct DepBlockPoolState {
  DepBlockSlab* open[DepBlockPool::kSizes] = {};  // per size, the slabs with room
  std::uint32_t next_blocks[DepBlockPool::kSizes] = {kFirstSlabBlocks, kFirstSlabBlocks, kFirstSlabBlocks,
                                                     kFirstSlabBlocks};
  std::size_t slabs = 0;
  bool owner_gone = false;
};
static_assert(DepBlockPool::kSizes == 4);

struct alignas(16) DepBlockSlab {
  DepBlockPoolState* pool;
  DepBlockSlab* prev;  // in its size's open list while it has room
  DepBlockSlab* next;
  FreeBlock* free;
  char* bump;  // the uncut rest
  char* end;
  std::uint32_t live;
  std::uint32_t block_bytes;
  std::uint8_t size;
  bool open;

  char* blocks() noexcept { return reinterpret_cast<char*>(this + 1); }
  bool full() const noexcept { return !free && bump == end; }
};
// A block's distance from its slab is told in 16 bits of words.
static_assert((sizeof(DepBlockSlab) + kLargestSlabBytes) / sizeof(void*) <= 0xFFFF);

namespace {

void link(DepBlockPoolState& pool, DepBlockSlab* s) noexcept {
  DepBlockSlab*& head = pool.open[s->size];
  s->prev = nullptr;
  s->next = head;
  if (head) head->prev = s;
  head = s;
  s->open = true;
}

void unlink(DepBlockPoolState& pool, DepBlockSlab* s) noexcept {
  (s->prev ? s->prev->next : pool.open[s->size]) = s->next;
  if (s->next) s->next->prev = s->prev;
  s->open = false;
}

DepBlockSlab* add_slab(DepBlockPoolState& pool, std::size_t size, std::size_t block_bytes) {
  const std::uint32_t n = pool.next_blocks[size];
  void* raw = ::operator new(sizeof(DepBlockSlab) + n * block_bytes);
  auto* s = ::new (raw) DepBlockSlab{&pool, nullptr, nullptr, nullptr, nullptr, nullptr, 0,
                                     static_cast<std::uint32_t>(block_bytes), static_cast<std::uint8_t>(size), false};
  s->bump = s->blocks();
  s->end = s->bump + n * block_bytes;
  const std::size_t most = std::clamp<std::size_t>(kLargestSlabBytes / block_bytes, 1, kLargestSlabBlocks);
  pool.next_blocks[size] = static_cast<std::uint32_t>(std::min<std::size_t>(2 * std::size_t{n}, most));
  ++pool.slabs;
  link(pool, s);
  return s;
}

void free_slab(DepBlockPoolState& pool, DepBlockSlab* s) noexcept {
  if (s->open) unlink(pool, s);
  s->~DepBlockSlab();
  ::operator delete(s);
  --pool.slabs;
}

}  // namespace

DepBlockPool::~DepBlockPool() {
  if (!state_) return;
  state_->owner_gone = true;
  for (DepBlockSlab*& head : state_->open) {
    for (DepBlockSlab* s = head; s;) {
      DepBlockSlab* next = s->next;
      if (s->live == 0) free_slab(*state_, s);
      s = next;
    }
  }
  if (state_->slabs == 0) delete state_;
}

void* DepBlockPool::allocate(std::size_t size, std::size_t block_bytes, DepBlockSlab*& slab) {
  if (!state_) state_ = new DepBlockPoolState();
  DepBlockSlab* s = state_->open[size];
  if (!s) s = add_slab(*state_, size, block_bytes);
  void* block;
  if (s->free) {
    block = s->free;
    s->free = s->free->next;
  } else {
    block = std::exchange(s->bump, s->bump + s->block_bytes);
  }
  ++s->live;
  if (s->full()) unlink(*state_, s);
  slab = s;
  return block;
}

void DepBlockPool::deallocate(void* block, DepBlockSlab* s) noexcept {
  if (!s) return ::operator delete(block);
  s->free = ::new (block) FreeBlock{s->free};
  DepBlockPoolState& pool = *s->pool;
  if (--s->live != 0) {
    if (!s->open) link(pool, s);
    return;
  }
  // Emptied: kept only as its size's one slab with room while the pool is in use.
  const bool alone = s->open ? pool.open[s->size] == s && !s->next : !pool.open[s->size];
  if (alone && !pool.owner_gone) {
    if (!s->open) link(pool, s);
    return;
  }
  free_slab(pool, s);
  if (pool.owner_gone && pool.slabs == 0) delete &pool;
}

std::size_t DepBlockPool::slab_count() const noexcept { return state_ ? state_->slabs : 0; }

}  // namespace korvalinth
