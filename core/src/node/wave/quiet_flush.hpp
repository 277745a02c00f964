#pragma once
// A batch's flush of one record's DATA without the wave it would open,
// where that wave would only touch and untouch.

#include "node/arena/message.hpp"
#include "node/arena/node_handle.hpp"

namespace korvalinth {

// Delivers m, the one DATA a batch flushes to node (which left the batch),
// without a wave of its own, when that wave would only record its value in
// a dep sink: node's plain flushed DATA (not running, its DIRTY gone out,
// nothing holding it back, its version advancing in place), replacing a
// value another holder keeps, to a lone dep sink of its core whose node
// still owes another dep after it; with no scope installed, nothing queued,
// no delivery in progress and no stack too deep. Releases m's value. False,
// with nothing changed, for any other.
bool flush_data_quietly(const UncountedNode& node, Message& m);

}  // namespace korvalinth
