#pragma once
// Node.set's road into the core, inside the host boundary its binding
// raises; inline where the binding calls it: inside a batch most sets are
// deferred with no call of the core's own.

#include "base/value.hpp"
#include "node/arena/node_handle.hpp"
#include "node/wave/batch.hpp"
#include "node/wave/down.hpp"
#include "node/wave/wave_scope.hpp"

namespace korvalinth {

// The set's wave: its own, or the running one it joins.
void set_in_wave(const UncountedNode& node, SharedValue& value);

// Inside a batch, a set whose wave would only touch and untouch the nodes
// it marks takes none; it finds the node current, as set_in_wave's check
// would. A node set over and over replaces what it deferred, in a wave: it
// is not asked again. True when the set was deferred.
[[gnu::always_inline]] inline bool defer_set_in_batch(const UncountedNode& node, SharedValue& value) {
  return batch_collecting() && !wave_scope_installed() && !batch_replaced_last(node) &&
         defer_set_quietly(node, value);
}

// value is the caller's, lent to the wave. A set deferred into the batch
// leaves a fault a drop kept meanwhile to the caller's guard.
[[gnu::always_inline]] inline void node_set_in_boundary(const UncountedNode& node, SharedValue& value) {
  if (!defer_set_in_batch(node, value)) set_in_wave(node, value);
}

}  // namespace korvalinth
