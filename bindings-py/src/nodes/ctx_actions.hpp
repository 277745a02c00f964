#pragma once
// Applying the requests a node callback queued on its Ctx: each becomes one
// runtime call on the node being run, in queue order, inside the run (the
// wave is still open). Rewires and next-wave PULLs are handed to the runtime
// for the end of the wave scope.

#include "boundary/pending_fatal.hpp"
#include "kit/refs.hpp"
#include "node/arena/node_fn.hpp"
#include "nodes/ctx.hpp"

namespace korvalinth::py {

// Called by the callback adapters with the GIL held, after the callback
// returned normally and the Ctx was invalidated. The requests are taken out
// of the queue first, so no borrow of it is held while the graph runs. A
// fault unwinds out of the run; the requests after the faulting one are
// dropped.
void apply_ctx_actions(CtxActionQueue& queue, const RunContext& run, const SharedFatalSlot& slot);

}  // namespace korvalinth::py
