#pragma once
// The memory of nodes' count records. Every node makes one, and it goes
// with its last reference, on whatever thread drops that (a weak reference
// may outlive the graph). Each thread keeps the blocks given back to it in a
// list and cuts new ones from chunks, so a record costs a few instructions,
// not a heap call. A thread's list is bounded: past the bound, half of it
// goes to a shared store of batches, where threads short of blocks take one
// batch at a time (records made on one thread and dropped on another would
// otherwise pile up on the dropping one). Chunks stay for the life of the
// process; a thread that ends hands its free blocks and the uncut rest of
// its chunk on, and blocks freed after that go straight to the store. Under
// AddressSanitizer each record is its own heap block, so it is checked.

#include <cstddef>
#include <cstdint>
#include <new>

#include "base/thread_block.hpp"

namespace korvalinth {

class CountBlocks {
 public:
  // Room for a count record with its shared and weak counts.
  static constexpr std::size_t kBytes = 3 * sizeof(void*);
  static constexpr std::size_t kAlign = alignof(void*);
  // The most free blocks a thread keeps.
  static constexpr std::uint32_t kMaxFree = 512;

  static void* take() {
#if defined(__SANITIZE_ADDRESS__)
    return ::operator new(kBytes);
#else
    State& s = state_;
    if (FreeBlock* block = s.free) {
      s.free = block->next;
      --s.count;
      return block;
    }
    if (static_cast<std::size_t>(s.end - s.next) >= kBytes) {
      void* block = s.next;
      s.next += kBytes;
      return block;
    }
    return take_slow();
#endif
  }

  static void give_back(void* block) noexcept {
#if defined(__SANITIZE_ADDRESS__)
    ::operator delete(block);
#else
    State& s = state_;
    if (s.count >= s.limit) [[unlikely]] return give_back_slow(block);
    s.free = ::new (block) FreeBlock{s.free};
    ++s.count;
#endif
  }

  // How many chunks were cut so far, by all threads.
  static std::size_t chunks_cut() noexcept;

 private:
  friend struct CountBlocksHandOn;
  struct FreeBlock {
    FreeBlock* next;
  };
  struct State {
    FreeBlock* free;
    char* next;  // the uncut rest of the thread's newest chunk
    char* end;
    std::uint32_t count;  // blocks in free
    // Blocks free may hold before a give_back goes slow: 0 until
    // register_hand_on ran and again once hand_on ran, else kMaxFree.
    std::uint32_t limit;
    bool hands_on;  // register_hand_on ran on this thread
    bool closed;    // hand_on ran: blocks go straight to the store
  };
  // A batch of the store from its list, else of a new chunk.
  static void* take_slow();
  // Moves half the full list to the store, or the block itself there once
  // the thread handed on.
  static void give_back_slow(void* block) noexcept;
  // Has the thread hand its free blocks on when it ends.
  static void register_hand_on() noexcept;
  // Hands the thread's free blocks and its chunk's uncut rest on (the thread ends).
  static void hand_on() noexcept;
  // Puts the list from first, of count blocks, into the store as one batch
  // (the store's mutex held).
  static void store_batch(FreeBlock* first, std::size_t count) noexcept;

  static inline constinit thread_local State state_ KORVALINTH_FAST_TLS = {};
};

// An allocator of count records: a one-object request that fits a block
// takes one; any other goes to the heap.
template <class T>
struct CountRecordAllocator {
  using value_type = T;
  CountRecordAllocator() noexcept = default;
  template <class U>
  CountRecordAllocator(const CountRecordAllocator<U>&) noexcept {}

  T* allocate(std::size_t n) {
    if (fits(n)) return static_cast<T*>(CountBlocks::take());
    return static_cast<T*>(::operator new(n * sizeof(T)));
  }
  void deallocate(T* p, std::size_t n) noexcept {
    if (fits(n)) return CountBlocks::give_back(p);
    ::operator delete(p);
  }
  template <class U>
  friend bool operator==(const CountRecordAllocator&, const CountRecordAllocator<U>&) noexcept {
    return true;
  }

 private:
  static constexpr bool fits(std::size_t n) noexcept {
    return n == 1 && sizeof(T) <= CountBlocks::kBytes && alignof(T) <= CountBlocks::kAlign;
  }
};

}  // namespace korvalinth
