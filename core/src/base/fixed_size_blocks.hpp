#pragma once
// Blocks of one size that come and go one at a time, each going on whatever
// thread drops what it holds. Each thread keeps the blocks given back to it
// in a list and cuts new ones from chunks, so a block costs a few
// instructions, not a heap call. A thread's list is bounded: past the bound,
// half of it goes to a shared store of batches, where threads short of
// blocks take one batch at a time (blocks taken on one thread and given back
// on another would otherwise pile up on the giving one). Chunks stay for the
// life of the process; a thread that ends hands its free blocks and the
// uncut rest of its chunk on, and blocks given back after that go straight
// to the store. Each size has its own lists, store and chunks. Under
// AddressSanitizer each block is its own heap block, so it is checked.

#include <cstddef>
#include <cstdint>
#include <new>

#include "base/thread_block.hpp"

namespace korvalinth {

// The part of the blocks that does not depend on their size.
namespace fixed_size_blocks {

struct FreeBlock {
  FreeBlock* next;
};

// One thread's blocks of one size.
struct ThreadList {
  FreeBlock* free;
  char* next;  // the uncut rest of the thread's newest chunk
  char* end;
  std::uint32_t count;  // blocks in free
  // Blocks free may hold before a give_back goes slow: 0 until the thread
  // registered its hand-on and again once it handed on, else kMaxFree.
  std::uint32_t limit;
  bool hands_on;  // the hand-on is registered on this thread
  bool closed;    // the thread handed on: blocks go straight to the store
};

// What the threads share of one size: the batches of free blocks threads
// gave up and the count of chunks cut (guarded by one lock for all sizes).
struct Store {
  void* batches;
  std::size_t chunks_cut;
};

inline constexpr std::uint32_t kMaxFree = 512;
inline constexpr std::size_t kChunkBytes = 4096;

// A block from the store or a new chunk, the thread's list refilled
// (register_hand_on: registers the thread's hand-on first).
void* take_slow(ThreadList& list, Store& store, std::size_t bytes, void (*register_hand_on)() noexcept);
// Moves half the full list to the store, or the block itself there once the thread handed on.
void give_back_slow(ThreadList& list, Store& store, std::size_t bytes, void* block,
                    void (*register_hand_on)() noexcept) noexcept;
// Hands the thread's free blocks and its chunk's uncut rest on (the thread ends).
void hand_on(ThreadList& list, Store& store, std::size_t bytes) noexcept;
std::size_t chunks_cut(const Store& store) noexcept;

}  // namespace fixed_size_blocks

template <std::size_t kBlockBytes>
class FixedSizeBlocks {
 public:
  static constexpr std::size_t kBytes = kBlockBytes;
  static constexpr std::size_t kAlign = alignof(void*);
  // The most free blocks a thread keeps.
  static constexpr std::uint32_t kMaxFree = fixed_size_blocks::kMaxFree;
  static_assert(kBytes % kAlign == 0 && kBytes >= 3 * sizeof(void*), "a block holds a store batch's header");

  static void* take() {
#if defined(__SANITIZE_ADDRESS__)
    return ::operator new(kBytes);
#else
    fixed_size_blocks::ThreadList& s = list_;
    if (fixed_size_blocks::FreeBlock* block = s.free) {
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
    fixed_size_blocks::ThreadList& s = list_;
    if (s.count >= s.limit) [[unlikely]] return give_back_slow(block);
    s.free = ::new (block) fixed_size_blocks::FreeBlock{s.free};
    ++s.count;
#endif
  }

  // How many chunks were cut so far, by all threads.
  static std::size_t chunks_cut() noexcept { return fixed_size_blocks::chunks_cut(store_); }

 private:
  // Hands the thread's free blocks on when the thread ends.
  struct HandOn {
    ~HandOn() { fixed_size_blocks::hand_on(list_, store_, kBytes); }
  };
  static void register_hand_on() noexcept {
    static thread_local HandOn at_exit;
    (void)at_exit;
  }
  [[gnu::noinline]] static void* take_slow() {
    return fixed_size_blocks::take_slow(list_, store_, kBytes, register_hand_on);
  }
  [[gnu::noinline]] static void give_back_slow(void* block) noexcept {
    fixed_size_blocks::give_back_slow(list_, store_, kBytes, block, register_hand_on);
  }

  static inline constinit thread_local fixed_size_blocks::ThreadList list_ KORVALINTH_FAST_TLS = {};
  static inline constinit fixed_size_blocks::Store store_ = {};
};

// An allocator of blocks of Blocks: a one-object request that fits a block
// takes one; any other goes to the heap.
template <class T, class Blocks>
struct FixedSizeBlockAllocator {
  using value_type = T;
  FixedSizeBlockAllocator() noexcept = default;
  template <class U>
  FixedSizeBlockAllocator(const FixedSizeBlockAllocator<U, Blocks>&) noexcept {}
  template <class U>
  struct rebind {
    using other = FixedSizeBlockAllocator<U, Blocks>;
  };

  T* allocate(std::size_t n) {
    if (fits(n)) return static_cast<T*>(Blocks::take());
    if constexpr (over_aligned) return static_cast<T*>(::operator new(n * sizeof(T), std::align_val_t{alignof(T)}));
    return static_cast<T*>(::operator new(n * sizeof(T)));
  }
  void deallocate(T* p, std::size_t n) noexcept {
    if (fits(n)) return Blocks::give_back(p);
    if constexpr (over_aligned) return ::operator delete(p, std::align_val_t{alignof(T)});
    ::operator delete(p);
  }
  template <class U>
  friend bool operator==(const FixedSizeBlockAllocator&, const FixedSizeBlockAllocator<U, Blocks>&) noexcept {
    return true;
  }

 private:
  // The plain heap aligns only to the default; a type that asks more takes
  // the aligned heap, as make_shared would give it.
  static constexpr bool over_aligned = alignof(T) > __STDCPP_DEFAULT_NEW_ALIGNMENT__;
  static constexpr bool fits(std::size_t n) noexcept {
    return n == 1 && sizeof(T) <= Blocks::kBytes && alignof(T) <= Blocks::kAlign;
  }
};

}  // namespace korvalinth
