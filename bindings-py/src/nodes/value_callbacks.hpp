#pragma once
// The node functions of Graph.derived, Graph.effect and Graph.producer: the
// callback takes the deps' current values as positional arguments (no
// arguments for a producer). A derived or producer callback's return value
// is the node's next DATA; an effect's is dropped.

#include "boundary/pending_fatal.hpp"
#include "kit/refs.hpp"
#include "node/arena/node_fn.hpp"

namespace korvalinth::py {

enum class ValueCallbackKind : unsigned char { Derived, Effect, Producer };

SharedNodeFn make_value_callback_fn(ValueCallbackKind kind, kit::OwnedRef callback, SharedFatalSlot slot);

}  // namespace korvalinth::py
