#include "node/arena/count_blocks.hpp"

#include <mutex>
#include <utility>

namespace korvalinth {

namespace {

constexpr std::size_t kChunkBytes = 4096;

struct Chunk {
  Chunk* previous;
};
static_assert(sizeof(Chunk) % CountBlocks::kAlign == 0);

// What the threads share: every chunk cut (linked, newest first, so none is
// ever lost track of) and the free blocks of the threads that ended.
struct SharedBlocks {
  std::mutex mutex;
  Chunk* chunks = nullptr;
  void* handed_on = nullptr;
};
constinit SharedBlocks shared;

}  // namespace

// Hands its thread's free blocks on when the thread ends.
struct CountBlocksHandOn {
  ~CountBlocksHandOn() { CountBlocks::hand_on(); }
};

void CountBlocks::register_hand_on() noexcept {
  state_.hands_on = true;
  static thread_local CountBlocksHandOn at_exit;
  (void)at_exit;
}

void* CountBlocks::take_slow() {
  State& s = state_;
  if (!s.hands_on) register_hand_on();
  {
    std::lock_guard lock(shared.mutex);
    if (shared.handed_on) {
      s.free = static_cast<FreeBlock*>(std::exchange(shared.handed_on, nullptr));
    } else {
      Chunk* chunk = ::new (::operator new(kChunkBytes)) Chunk{shared.chunks};
      shared.chunks = chunk;
      s.next = reinterpret_cast<char*>(chunk + 1);
      s.end = reinterpret_cast<char*>(chunk) + kChunkBytes;
    }
  }
  return take();
}

void CountBlocks::hand_on() noexcept {
  FreeBlock* list = std::exchange(state_.free, nullptr);
  if (!list) return;
  FreeBlock* last = list;
  while (last->next) last = last->next;
  std::lock_guard lock(shared.mutex);
  last->next = static_cast<FreeBlock*>(shared.handed_on);
  shared.handed_on = list;
}

}  // namespace korvalinth
