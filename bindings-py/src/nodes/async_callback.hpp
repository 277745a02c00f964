#pragma once
// The node function of Graph._async_node and Graph._async_source. Each run
// is one activation: a fresh AsyncCtx and liveness flag, the Python callback
// called with the ctx and then each dep's value (a source has no deps), the
// ctx's deactivation callbacks registered when the callback returned
// normally, the activation ended at once when it raised; the outcome is
// settled as for a Ctx callback (discard_callback_result).

#include "boundary/pending_fatal.hpp"
#include "kit/refs.hpp"
#include "node/arena/node_fn.hpp"

namespace korvalinth::py {

SharedNodeFn make_async_callback_fn(kit::OwnedRef callback, SharedFatalSlot slot);

}  // namespace korvalinth::py
