#pragma once
// Putting a node's runtime state back as a checkpoint recorded it. The
// checkpoint layer reads and checks the record; the engine owns the slots.

#include <optional>

#include "node/arena/graph_core.hpp"

namespace korvalinth {

struct RestoredNodeState {
  SharedValue value;  // the cache; null without data
  bool has_data = false;
  NodeStatus status = NodeStatus::Sentinel;
  bool terminal = false;
  bool has_called_fn_once = false;
  bool activated = false;
  SharedValue ctx_state;
  bool ctx_state_persist = false;
  std::optional<NodeVersion> version;
};

// Replaces the node's cache, status, lifecycle flags and ctx state, and
// resets its per-wave, per-dep and pull state; its callbacks, held lists and
// pulls are dropped after the borrow. A node the record activates connects
// to its deps unless a dependent activated it earlier in the restore. Then
// the version takes its place.
void install_restored_state(const UncountedNode& node, RestoredNodeState state);

}  // namespace korvalinth
