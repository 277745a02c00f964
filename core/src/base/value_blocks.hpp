#pragma once
// Storage of values. Nearly every wave makes a value and drops the one it
// replaces, so small value blocks are kept, once freed, in a per-thread stock
// (one free list per size class, bounded) and handed to the next value made on
// the same thread: no allocator call per wave. A block dropped on another
// thread than the one that made it joins that thread's stock, which is as
// good. A thread's stock is freed at its exit; blocks freed after that go
// straight back to the allocator.
//
// Under AddressSanitizer the stock is off, so that a use of a dropped value
// is still caught.

#include <cstddef>
#include <cstdint>
#include <new>

#include "base/thread_block.hpp"

namespace korvalinth {

namespace value_blocks {

constexpr std::size_t kGrain = 16;  // the allocator's alignment; classes are its multiples
constexpr std::size_t kClasses = 4;
constexpr std::size_t kLargestStocked = kGrain * kClasses;
constexpr std::uint32_t kMaxStockedPerClass = 256;

struct FreeBlock {
  FreeBlock* next;
};

struct Stock {
  FreeBlock* heads[kClasses];
  // Blocks a class may still stock: zero until an owner is registered and
  // after it has gone, so that a give tests one field.
  std::uint32_t room[kClasses];
  bool owned;   // an owner frees this stock at thread exit
  bool closed;  // that owner has gone: blocks go straight back
};

inline constinit thread_local Stock tls_stock KORVALINTH_FAST_TLS{};

constexpr std::size_t class_of(std::size_t size) noexcept { return (size - 1) / kGrain; }
constexpr std::size_t class_size(std::size_t size_class) noexcept { return (size_class + 1) * kGrain; }

// A give to a class with no room: the first on the thread registers the
// stock's owner and stocks the block; otherwise the block is freed.
void give_without_room(void* block, std::size_t size_class) noexcept;

}  // namespace value_blocks

#if defined(__SANITIZE_ADDRESS__)

inline void* take_value_block(std::size_t size) { return ::operator new(size); }
inline void give_value_block(void* block, std::size_t size) noexcept { ::operator delete(block, size); }

#else

// A block for a value of `size` bytes (aligned as the allocator aligns).
inline void* take_value_block(std::size_t size) {
  using namespace value_blocks;
  if (size > kLargestStocked) return ::operator new(size);
  const std::size_t c = class_of(size);
  Stock& stock = tls_stock;
  if (FreeBlock* block = stock.heads[c]) {
    stock.heads[c] = block->next;
    ++stock.room[c];
    return block;
  }
  // Every block of a class has the class's size, whatever value it served.
  return ::operator new(class_size(c));
}

// Gives back a block taken for `size` bytes.
inline void give_value_block(void* block, std::size_t size) noexcept {
  using namespace value_blocks;
  if (block == nullptr) return;
  if (size > kLargestStocked) {
    ::operator delete(block, size);
    return;
  }
  const std::size_t c = class_of(size);
  Stock& stock = tls_stock;
  if (stock.room[c] != 0) [[likely]] {
    auto* freed = static_cast<FreeBlock*>(block);
    freed->next = stock.heads[c];
    stock.heads[c] = freed;
    --stock.room[c];
    return;
  }
  give_without_room(block, c);
}

#endif

}  // namespace korvalinth
