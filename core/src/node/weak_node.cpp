#include "node/weak_node.hpp"

#include "node/graph_core.hpp"

namespace korvalinth {

WeakNodeHandle WeakNodeHandle::of(const NodeHandle& node) noexcept {
  WeakNodeHandle weak;
  weak.core_ = node.core();
  weak.count_ = node.count();
  weak.key_ = node.key();
  return weak;
}

NodeHandle WeakNodeHandle::lock() const {
  CoreRef core = core_.lock();
  SharedCount count = count_.lock();
  if (!core || !count) fault(kStaleSlot);
  NodeHandle node(std::move(core), std::move(count), key_, false);
  if (!node_is_current(node)) fault(kStaleSlot);
  return node.promote_counted();
}

}  // namespace korvalinth
