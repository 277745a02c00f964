#include "node/arena/dep_list.hpp"

#include <algorithm>

#include "node/arena/graph_core.hpp"

namespace korvalinth {

// A pool packs blocks at a stride of their bytes, so every part of every
// size must keep the alignment of the strictest part.
inline constexpr std::size_t kDepBlockAlign = std::max(alignof(DepBlockHead), alignof(NodeHandle));
static_assert(sizeof(DepBlockHead) % kDepBlockAlign == 0 && sizeof(NodeHandle) % kDepBlockAlign == 0);

DepBlockHead* DepList::allocate_for_build(const NodeHandle& first, std::size_t n) {
  const std::size_t bytes = sizeof(Block) + n * sizeof(NodeHandle);
  // Under the address checker each block is its own allocation, so a use
  // after its release is caught.
#if defined(__SANITIZE_ADDRESS__)
  const bool pooled = false;
#else
  const bool pooled = n <= DepBlockPool::kSizes && first.core();
#endif
  if (pooled) {
    DepBlockSlab* slab;
    void* raw = first.core()->dep_blocks().allocate(n - 1, bytes, slab);
    return ::new (raw) Block(slab, 0);
  }
  return allocate(bytes, 0);
}

}  // namespace korvalinth
