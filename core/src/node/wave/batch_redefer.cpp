#include "node/wave/batch.hpp"

#include "base/drop_fault.hpp"
#include "node/wave/delivery_order.hpp"
#include "node/wave/stack_guard.hpp"
#include "node/wave/wave_scope.hpp"

namespace korvalinth {

namespace {

// A depth fault goes the general road, which turns it into the node's ERROR.
bool has_stack_headroom() {
  try {
    check_stack_headroom();
    return true;
  } catch (const StackDepthFault&) {
    return false;
  }
}

}  // namespace

// The general road of down would only swap the DATA into the node's batch
// record: the node deferred into this batch and sent its DIRTY, and nothing
// on that road reaches a sink, queues the message or checks its content (a
// content-id fault becomes the node's ERROR there).
bool batch_set_only_redefers(const Arena& a, const UncountedNode& node) {
  if (!batch_collecting() || wave_scope_installed()) return false;
  const NodeState& state = a.edge_at(node.index()).state;
  if (!state.batch_queued() || !state.dirty_sent() || state.terminal() || state.running()) return false;
  if (a.version_at(node.index()).mode() == NodeVersioning::Mode::Level1) return false;
  return !OrderedDelivery::in_progress_on(node) && has_stack_headroom();
}

void batch_redefer_set(const UncountedNode& node, SharedValue value) {
  if (!batch_replace_deferred_value(node, value)) batch_defer_message(node, Message::data(std::move(value)));
  // The replaced value goes as the general road drops it: after the batch's
  // borrow, before a fault kept meanwhile is raised as at a wave's end.
  value.reset();
  raise_kept_drop_fault();
}

}  // namespace korvalinth
