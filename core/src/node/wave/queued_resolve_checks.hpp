#pragma once
// The resolve checks in the thread's pending queue, found by node in
// constant time: a fan-out may queue one per node in one wave, and a search
// of the queue for each would cost the square of that.

#include <cstdint>

#include "node/arena/node_handle.hpp"
#include "node/wave/node_keyed_table.hpp"

namespace korvalinth {

// Its entries count only while their queue epoch is the queue's (see
// queue_epoch): taking the queue empties it at once, with no walk.
class QueuedResolveChecks {
 public:
  // Records the node's check in epoch; false when it is recorded there
  // already.
  bool insert(CoreId core, SlotKey key, std::uint64_t epoch) {
    if (epoch_ != epoch) {
      epoch_ = epoch;
      nodes_.clear();
    }
    const NodeId node{core, key.index, key.generation};
    const std::size_t slot = nodes_.probe_for_insert(node);
    if (nodes_.value_at(slot)) return false;
    nodes_.fill(slot, node, NoValue{});
    return true;
  }

 private:
  NodeKeyedTable<NoValue> nodes_;
  std::uint64_t epoch_ = 0;  // no queue epoch is 0
};

}  // namespace korvalinth
