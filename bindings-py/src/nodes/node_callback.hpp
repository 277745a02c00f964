#pragma once
// The node function of Graph.node and of the Ctx rewiring requests: per run
// it takes the GIL, builds a Ctx, calls the Python callback with it,
// invalidates the Ctx, applies the queued requests when the callback
// returned normally, and settles the outcome (discard_callback_result).

#include "boundary/pending_fatal.hpp"
#include "kit/refs.hpp"
#include "node/arena/node_fn.hpp"

namespace korvalinth::py {

// One run of `callback` as the node's function.
void py_node_callback_adapter(RunContext& run, kit::BorrowedRef callback, const SharedFatalSlot& slot);

// A node function over the callback and the graph's pending fatal slot.
SharedNodeFn make_py_node_fn(kit::OwnedRef callback, SharedFatalSlot slot);

}  // namespace korvalinth::py
