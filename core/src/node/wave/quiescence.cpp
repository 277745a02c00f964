#include "node/wave/delivery.hpp"
#include "node/arena/graph_core.hpp"
#include "node/wave/wave_scope.hpp"

namespace korvalinth {

bool node_is_quiescent(const UncountedNode& node) {
  if (wave_scope_installed() || delivery_depth() != 0) return false;
  auto a = node.core_ref().borrow();
  if (!a->is_current(node.key())) return true;
  auto i = node.index();
  if (a->pin_count(i) > 0) return false;
  if (!a->deferred_ops().empty() || a->draining()) return false;
  const EdgeEntry& e = a->edge_at(i);
  const AuxEntry& x = a->aux_at(i);
  const AuxRare* rare = x.rare_if_made();
  return e.state.quiescent() &&
         (!rare || (rare->held.empty() && !rare->pending_pull && !rare->current_pull && rare->pause_locks.empty()));
}

}  // namespace korvalinth
