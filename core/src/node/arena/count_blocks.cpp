#include "node/arena/count_blocks.hpp"

#include <pthread.h>

#include <mutex>
#include <utility>

namespace korvalinth {

namespace {

constexpr std::size_t kChunkBytes = 4096;

struct Chunk {
  Chunk* previous;
};
static_assert(sizeof(Chunk) % CountBlocks::kAlign == 0);

// A batch of free blocks in the store; its first block is this header, the
// others follow it on `next` as on a thread's list.
struct Batch {
  void* next;
  Batch* next_batch;
  std::size_t count;
};
static_assert(sizeof(Batch) <= CountBlocks::kBytes);

// What the threads share: every chunk cut (linked, newest first, so none is
// ever lost track of) and the batches of free blocks threads gave up.
struct SharedBlocks {
  std::mutex mutex;
  Chunk* chunks = nullptr;
  std::size_t chunks_cut = 0;
  Batch* batches = nullptr;
};
constinit SharedBlocks shared;

// A fork made while another thread holds the mutex would leave it held in
// the child for good.
void lock_shared() noexcept { shared.mutex.lock(); }
void unlock_shared() noexcept { shared.mutex.unlock(); }
[[maybe_unused]] const bool fork_safe = (pthread_atfork(lock_shared, unlock_shared, unlock_shared), true);

// Cuts a chunk (the mutex held); its blocks are [begin, end).
void cut_chunk(char*& begin, char*& end) {
  Chunk* chunk = ::new (::operator new(kChunkBytes)) Chunk{shared.chunks};
  shared.chunks = chunk;
  ++shared.chunks_cut;
  begin = reinterpret_cast<char*>(chunk + 1);
  end = reinterpret_cast<char*>(chunk) + kChunkBytes;
}

// Cuts [p, end) into blocks pushed onto list, counted in n.
template <class Block>
Block* cut_into_blocks(char* p, const char* end, Block* list, std::size_t& n) {
  for (; static_cast<std::size_t>(end - p) >= CountBlocks::kBytes; p += CountBlocks::kBytes, ++n) {
    list = ::new (p) Block{list};
  }
  return list;
}

}  // namespace

// Hands its thread's free blocks on when the thread ends.
struct CountBlocksHandOn {
  ~CountBlocksHandOn() { CountBlocks::hand_on(); }
};

void CountBlocks::register_hand_on() noexcept {
  state_.hands_on = true;
  state_.limit = kMaxFree;
  static thread_local CountBlocksHandOn at_exit;
  (void)at_exit;
}

void CountBlocks::store_batch(FreeBlock* first, std::size_t count) noexcept {
  FreeBlock* next = first->next;
  first->~FreeBlock();
  shared.batches = ::new (static_cast<void*>(first)) Batch{next, shared.batches, count};
}

void* CountBlocks::take_slow() {
  State& s = state_;
  if (s.closed) {
    // The thread's state is gone: one block straight from the store.
    std::lock_guard lock(shared.mutex);
    if (Batch* batch = shared.batches) {
      shared.batches = batch->next_batch;
      if (batch->count > 1) store_batch(static_cast<FreeBlock*>(batch->next), batch->count - 1);
      batch->~Batch();
      return batch;
    }
    char* begin;
    char* end;
    cut_chunk(begin, end);
    std::size_t n = 0;
    if (FreeBlock* rest = cut_into_blocks(begin + kBytes, end, static_cast<FreeBlock*>(nullptr), n))
      store_batch(rest, n);
    return begin;
  }
  if (!s.hands_on) register_hand_on();
  {
    std::lock_guard lock(shared.mutex);
    if (Batch* batch = shared.batches) {
      shared.batches = batch->next_batch;
      void* next = batch->next;
      std::size_t n = batch->count;
      batch->~Batch();
      s.free = ::new (static_cast<void*>(batch)) FreeBlock{static_cast<FreeBlock*>(next)};
      s.count = static_cast<std::uint32_t>(n);
    } else {
      cut_chunk(s.next, s.end);
    }
  }
  return take();
}

void CountBlocks::give_back_slow(void* block) noexcept {
  State& s = state_;
  if (s.closed) {
    std::lock_guard lock(shared.mutex);
    store_batch(::new (block) FreeBlock{nullptr}, 1);
    return;
  }
  if (!s.hands_on) register_hand_on();
  if (s.count >= s.limit) {
    // Keep the newest half; the older rest goes to the store as one batch.
    FreeBlock* last_kept = s.free;
    for (std::uint32_t i = 1; i < kMaxFree / 2; ++i) last_kept = last_kept->next;
    FreeBlock* older = std::exchange(last_kept->next, nullptr);
    std::size_t n = s.count - kMaxFree / 2;
    s.count = kMaxFree / 2;
    std::lock_guard lock(shared.mutex);
    store_batch(older, n);
  }
  s.free = ::new (block) FreeBlock{s.free};
  ++s.count;
}

void CountBlocks::hand_on() noexcept {
  State& s = state_;
  s.closed = true;
  s.limit = 0;
  FreeBlock* list = std::exchange(s.free, nullptr);
  std::size_t n = std::exchange(s.count, 0);
  list = cut_into_blocks(std::exchange(s.next, nullptr), std::exchange(s.end, nullptr), list, n);
  if (!list) return;
  std::lock_guard lock(shared.mutex);
  store_batch(list, n);
}

std::size_t CountBlocks::chunks_cut() noexcept {
  std::lock_guard lock(shared.mutex);
  return shared.chunks_cut;
}

}  // namespace korvalinth
