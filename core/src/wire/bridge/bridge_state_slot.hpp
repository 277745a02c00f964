#pragma once
// The state a bridge node function keeps between runs lives in its node's
// aux slot (the ctx state value), kept across deactivations.

#include <memory>

#include "node/node_fn.hpp"
#include "wire/bridge/bridge_state.hpp"

namespace korvalinth {

using SharedBridgeState = std::shared_ptr<const BridgeStateCell>;

// The running node's aux value when it is a bridge state; else null (a value
// of another type counts as none).
SharedBridgeState cached_as_bridge_record(const RunContext& ctx);

// Stores the value as the node's aux value, replacing the one it holds, and
// keeps it when the node deactivates: the state lives as long as the node.
void keep_node_state(const NodeHandle& node, SharedValue value);

}  // namespace korvalinth
