#pragma once
// A batch's flush of one record's DATA without the wave it would open,
// where that wave would only touch and untouch.

#include "node/arena/graph_core.hpp"
#include "node/arena/message.hpp"
#include "node/arena/node_handle.hpp"
#include "node/wave/delivery.hpp"
#include "node/wave/quiet_wave.hpp"

namespace korvalinth {

// Whether the thread lets a flush deliver DATA to nodes of core without
// waves: core not borrowed, no scope installed, nothing queued, no delivery
// in progress and no stack too deep. A quiet flush changes none of it, so
// a run of them is asked once.
inline bool quiet_flush_open(const GraphCore& core) noexcept {
  if (core.is_borrowed() || wave_scope_installed()) return false;
  // The wave's one touch: the sink's node.
  if (!quiet_wave_fits(1)) return false;
  // A delivery in progress may take the DATA behind it.
  return delivery_depth() == 0 && delivery_counters().innermost == nullptr;
}

// Delivers m, the one DATA a batch flushes to node (which left the batch),
// without a wave of its own, when that wave would only record its value in
// a dep sink: node's plain flushed DATA (not running, its DIRTY gone out,
// nothing holding it back, its version advancing in place), replacing a
// value another holder keeps, to a lone dep sink of its core whose node
// still owes another dep after it. For node of core, borrowed as a, once
// quiet_flush_open(core) held. Releases m's value, under the borrow: no
// share it drops is the last. False, with nothing changed, for any other.
bool flush_data_quietly(Arena& a, GraphCore& core, const UncountedNode& node, Message& m);

}  // namespace korvalinth
