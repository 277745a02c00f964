#include "node/topology/replace_node_fn.hpp"

#include "node/arena/graph_core.hpp"

namespace korvalinth {

void replace_node_fn(const UncountedNode& node, SharedNodeFn fn) {
  DispatcherRef dispatcher;
  std::optional<DispatcherKey> old_key;
  {
    auto a = node.core_ref().borrow();
    a->check(node.key());
    const CallEntry& call = a->call_at(node.index());
    dispatcher = call.dispatcher();
    old_key = call.key;
  }
  std::uint32_t partition = 0;
  if (old_key) partition = dispatcher->partition_flag(old_key->partition) ? 1 : 0;
  DispatcherKey key = dispatcher->register_fn(partition, std::move(fn));
  {
    auto a = node.core_ref().borrow_mut();
    a->check(node.key());
    CallEntry& call = a->call_at(node.index());
    call.key = key;
    call.found_fn = {};
  }
  if (old_key) dispatcher->free_slot(*old_key);
}

}  // namespace korvalinth
