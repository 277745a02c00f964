#include "base/fixed_size_blocks.hpp"

#include <pthread.h>

#include <mutex>
#include <utility>

namespace korvalinth::fixed_size_blocks {

namespace {

struct Chunk {
  Chunk* previous;
};
static_assert(sizeof(Chunk) % alignof(void*) == 0);

// A batch of free blocks in a store; its first block is this header, the
// others follow it on `next` as on a thread's list.
struct Batch {
  void* next;
  Batch* next_batch;
  std::size_t count;
};

// What every size shares: the lock of the stores and every chunk cut
// (linked, newest first, so none is ever lost track of).
struct Shared {
  std::mutex mutex;
  Chunk* chunks = nullptr;
};
constinit Shared shared;

// A fork made while another thread holds the mutex would leave it held in
// the child for good.
void lock_shared() noexcept { shared.mutex.lock(); }
void unlock_shared() noexcept { shared.mutex.unlock(); }
[[maybe_unused]] const bool fork_safe = (pthread_atfork(lock_shared, unlock_shared, unlock_shared), true);

// Cuts a chunk (the mutex held); its blocks are [begin, end).
void cut_chunk(Store& store, char*& begin, char*& end) {
  Chunk* chunk = ::new (::operator new(kChunkBytes)) Chunk{shared.chunks};
  shared.chunks = chunk;
  ++store.chunks_cut;
  begin = reinterpret_cast<char*>(chunk + 1);
  end = reinterpret_cast<char*>(chunk) + kChunkBytes;
}

// Cuts [p, end) into blocks pushed onto list, counted in n.
template <class Block>
Block* cut_into_blocks(char* p, const char* end, std::size_t bytes, Block* list, std::size_t& n) {
  for (; static_cast<std::size_t>(end - p) >= bytes; p += bytes, ++n) list = ::new (p) Block{list};
  return list;
}

// Puts the list from first, of count blocks, into the store as one batch
// (the mutex held).
void store_batch(Store& store, FreeBlock* first, std::size_t count) noexcept {
  FreeBlock* next = first->next;
  first->~FreeBlock();
  store.batches = ::new (static_cast<void*>(first)) Batch{next, static_cast<Batch*>(store.batches), count};
}

// The thread's hand-on, registered at its first slow step.
void open(ThreadList& s, void (*register_hand_on)() noexcept) noexcept {
  s.hands_on = true;
  s.limit = kMaxFree;
  register_hand_on();
}

}  // namespace

void* take_slow(ThreadList& s, Store& store, std::size_t bytes, void (*register_hand_on)() noexcept) {
  if (s.closed) {
    // The thread's list is gone: one block straight from the store.
    std::lock_guard lock(shared.mutex);
    if (Batch* batch = static_cast<Batch*>(store.batches)) {
      store.batches = batch->next_batch;
      if (batch->count > 1) store_batch(store, static_cast<FreeBlock*>(batch->next), batch->count - 1);
      batch->~Batch();
      return batch;
    }
    char* begin;
    char* end;
    cut_chunk(store, begin, end);
    std::size_t n = 0;
    if (FreeBlock* rest = cut_into_blocks(begin + bytes, end, bytes, static_cast<FreeBlock*>(nullptr), n))
      store_batch(store, rest, n);
    return begin;
  }
  if (!s.hands_on) open(s, register_hand_on);
  {
    std::lock_guard lock(shared.mutex);
    if (Batch* batch = static_cast<Batch*>(store.batches)) {
      store.batches = batch->next_batch;
      void* next = batch->next;
      std::size_t n = batch->count;
      batch->~Batch();
      s.free = ::new (static_cast<void*>(batch)) FreeBlock{static_cast<FreeBlock*>(next)};
      s.count = static_cast<std::uint32_t>(n);
    } else {
      cut_chunk(store, s.next, s.end);
    }
  }
  // The list or the chunk has a block now.
  if (FreeBlock* block = s.free) {
    s.free = block->next;
    --s.count;
    return block;
  }
  void* block = s.next;
  s.next += bytes;
  return block;
}

void give_back_slow(ThreadList& s, Store& store, std::size_t bytes, void* block,
                    void (*register_hand_on)() noexcept) noexcept {
  if (s.closed) {
    std::lock_guard lock(shared.mutex);
    store_batch(store, ::new (block) FreeBlock{nullptr}, 1);
    return;
  }
  if (!s.hands_on) open(s, register_hand_on);
  if (s.count >= s.limit) {
    // Keep the newest half; the older rest goes to the store as one batch.
    FreeBlock* last_kept = s.free;
    for (std::uint32_t i = 1; i < kMaxFree / 2; ++i) last_kept = last_kept->next;
    FreeBlock* older = std::exchange(last_kept->next, nullptr);
    std::size_t n = s.count - kMaxFree / 2;
    s.count = kMaxFree / 2;
    std::lock_guard lock(shared.mutex);
    store_batch(store, older, n);
  }
  s.free = ::new (block) FreeBlock{s.free};
  ++s.count;
}

void hand_on(ThreadList& s, Store& store, std::size_t bytes) noexcept {
  s.closed = true;
  s.limit = 0;
  FreeBlock* list = std::exchange(s.free, nullptr);
  std::size_t n = std::exchange(s.count, 0);
  list = cut_into_blocks(std::exchange(s.next, nullptr), std::exchange(s.end, nullptr), bytes, list, n);
  if (!list) return;
  std::lock_guard lock(shared.mutex);
  store_batch(store, list, n);
}

std::size_t chunks_cut(const Store& store) noexcept {
  std::lock_guard lock(shared.mutex);
  return store.chunks_cut;
}

}  // namespace korvalinth::fixed_size_blocks
