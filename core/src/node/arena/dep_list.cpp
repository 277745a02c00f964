#include "node/arena/dep_list.hpp"

#include "node/arena/graph_core.hpp"

namespace korvalinth {

DepBlockHead* DepList::allocate_for_build(const NodeHandle& first, std::size_t n) {
  const std::size_t bytes = sizeof(Block) + n * (sizeof(NodeHandle) + sizeof(DepSlot));
  Block* b;
  if (n <= DepBlockPool::kSizes && first.core()) {
    DepBlockSlab* slab;
    void* raw = first.core()->dep_blocks().allocate(n - 1, bytes, slab);
    b = ::new (raw) Block{slab, 0};
  } else {
    b = ::new (::operator new(bytes)) Block{nullptr, 0};
  }
  b->has_state_room = 1;
  return b;
}

}  // namespace korvalinth
