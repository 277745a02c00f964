#pragma once
// The deps blocks of a core's builds. Nearly every node has one to a few
// deps, so its block is one of a few sizes; with a heap block each, a
// graph's end filled the allocator's small-block bins with them, and the
// allocator walked them all again at the next large free. The pool cuts
// blocks of each size from slabs instead: a block costs a few instructions
// each way, and a slab goes back to the heap when its last block goes (one
// emptied slab per size is kept for the next build).
//
// Slabs outlive the pool while they hold blocks: a list may drop after its
// core (its handles can hold the core's last reference), so the slabs share
// the pool's state, and the last of them frees it.

#include <cstddef>
#include <cstdint>

namespace korvalinth {

struct DepBlockSlab;
struct DepBlockPoolState;

class DepBlockPool {
 public:
  // Sizes the pool serves, named by the caller: 0 .. kSizes - 1.
  static constexpr std::size_t kSizes = 4;

  DepBlockPool() noexcept = default;
  DepBlockPool(const DepBlockPool&) = delete;
  DepBlockPool& operator=(const DepBlockPool&) = delete;
  ~DepBlockPool();

  // A block of block_bytes (the same for every call naming size) and its
  // slab, which the block's deallocate takes.
  void* allocate(std::size_t size, std::size_t block_bytes, DepBlockSlab*& slab);
  static void deallocate(void* block, DepBlockSlab* slab) noexcept;

  // A block's distance from its slab, in words, which fits 16 bits (0 for
  // no slab: a heap block), and the slab back from it.
  static std::uint16_t distance_from_slab(const void* block, const DepBlockSlab* slab) noexcept {
    if (!slab) return 0;
    return static_cast<std::uint16_t>((static_cast<const char*>(block) - reinterpret_cast<const char*>(slab)) /
                                      sizeof(void*));
  }
  static DepBlockSlab* slab_at_distance(void* block, std::uint16_t distance) noexcept {
    if (distance == 0) return nullptr;
    return reinterpret_cast<DepBlockSlab*>(static_cast<char*>(block) - std::size_t{distance} * sizeof(void*));
  }

  // The slabs that hold memory, for tests of what the pool keeps.
  std::size_t slab_count() const noexcept;

 private:
  DepBlockPoolState* state_ = nullptr;  // made with the first slab
};

}  // namespace korvalinth
