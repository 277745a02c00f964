#pragma once
// The RESOLVED of a run that emitted nothing, settled under the run's own
// borrow where its delivery would only settle one dep of the node's lone
// dep sink, or reach no sink that heeds it.

#include "node/arena/graph_core.hpp"

namespace korvalinth {

// Under the borrow a of a node whose run just ended, pinned by the running
// wave, its running flag cleared, which owes its RESOLVED and which may
// resolve quietly (NodeState::may_resolve_quietly): when down of
// that RESOLVED would only hand it to sinks that ignore it (or none), or to
// the node's lone dep sink of its core, which would only settle the dep in
// its touched node still owing another dep (nothing batched, held back,
// queued behind a delivery or waiting to be drained, and no stack too
// deep), records it there and resolves the node and ends its wave as that
// down would. False, with nothing changed, for any other.
bool settle_run_quietly(Arena& a, const UncountedNode& node);

}  // namespace korvalinth
