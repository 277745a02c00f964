#include "wire/bridge/bridge_state_slot.hpp"

#include "node/graph_core.hpp"

namespace korvalinth {

SharedBridgeState cached_as_bridge_record(const RunContext& ctx) {
  SharedValue stored = ctx_state_of(ctx.node);
  const BridgeStateCell* state = value_cast<BridgeStateCell>(stored);
  if (!state) return nullptr;
  return SharedBridgeState(std::move(stored), state);  // shares the value's ownership
}

void keep_node_state(const NodeHandle& node, SharedValue value) {
  set_ctx_state(node, std::move(value));
  set_ctx_state_persist(node, true);
}

}  // namespace korvalinth
