#include "node/arena/weak_node.hpp"

#include "node/arena/graph_core.hpp"

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
  // A current node without counted handles is held by pins alone (an open
  // batch, a running wave) and released when they go: it is acted on
  // through the pins, not brought back to life.
  if (node.count()->count == 0) return node;
  return node.promote_counted();
}

}  // namespace korvalinth
