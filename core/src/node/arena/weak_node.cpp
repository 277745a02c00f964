#include "node/arena/weak_node.hpp"

#include "node/arena/graph_core.hpp"

namespace korvalinth {

WeakNodeHandle WeakNodeHandle::of(const UncountedNode& node) noexcept {
  WeakNodeHandle weak;
  weak.core_ = node.core();
  weak.count_ = node.count();
  weak.key_ = node.key();
  return weak;
}

HeldNode WeakNodeHandle::lock() const {
  CoreRef core = core_.lock();
  SharedCount count = count_.lock();
  if (!core || !count) fault(kStaleSlot);
  UncountedNode node(std::move(core), std::move(count), key_);
  if (!node_is_current(node)) fault(kStaleSlot);
  return HeldNode::of(node);
}

}  // namespace korvalinth
