#pragma once
// The per-node reset at the end of a wave that faulted or was aborted.

#include "node/wave/touched_list.hpp"

namespace korvalinth {

// Resets the per-wave state of one touched node after a wave that faulted
// or was aborted. What a dep delivered in it becomes the dep's latest value,
// as a run would have made it: the node's next run must not see the value
// from before the wave. A failed allocation does not stop the reset.
void end_wave_for_node(const TouchedNode& t, const CoreRef& owner);

}  // namespace korvalinth
