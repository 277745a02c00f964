#pragma once
// Deferred operations: queued on a node's GraphCore during a wave and run
// when the wave ends, or when the open batch ends. A fault in one op does
// not stop the drain (the first is re-raised afterwards); the host-boundary
// abort empties every queue and keeps unwinding.

#include <vector>

#include "node/arena/deferred_op.hpp"
#include "node/arena/graph_core.hpp"
#include "node/wave/wave_scope.hpp"

namespace korvalinth {

void defer_core_op(const CoreRef& core, DeferredOp op);
// drain_deferred_ops for a core found with ops queued and not draining.
void drain_queued_deferred_ops(const CoreRef& core);
// Runs the core's queued ops, unless it is draining them already. Most
// waves queue none: that is seen inline, without the drain's frame.
inline void drain_deferred_ops(const CoreRef& core) {
  {
    auto a = core->borrow();
    if (a->draining() || a->deferred_ops().empty()) return;
  }
  drain_queued_deferred_ops(core);
}
void drain_deferred_ops_guarded(const CoreRef& own, const std::vector<DeferredCore>& deferred_cores);
void discard_deferred_ops(const WeakCore& core);
void discard_all_deferred_ops(const CoreRef& own, const std::vector<DeferredCore>& deferred_cores);
// Removes, keeping order, every queued op whose batch token is false.
void remove_unconfirmed_ops(const CoreRef& core);

}  // namespace korvalinth
