#pragma once
// A down that a caller adds to a running wave from inside a node function or
// a sink is refused before it changes anything when its messages would
// reach a node whose function is on the stack: that node's run would be
// refused as the feedback cycle anyway, after the down had been delivered
// half way, leaving the nodes between stale.

#include "node/arena/graph_core.hpp"

namespace korvalinth {

// Faults with the feedback-cycle text when a down on target would reach,
// through the dep sinks of active nodes, a node whose function is running
// and whose run would not wait (paused, waiting for a pull or rewired).
void refuse_feedback_into_running_nodes(const UncountedNode& target);

}  // namespace korvalinth
