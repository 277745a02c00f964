#pragma once
// Gives a node its next function: registered in the partition named by the
// flag of the node's current partition (0 for a node without a function),
// stored in the node's call entry, and only then the old entry freed, so
// the new key never reuses the old slot.

#include "node/arena/node_fn.hpp"
#include "node/arena/node_handle.hpp"

namespace korvalinth {

void replace_node_fn(const UncountedNode& node, SharedNodeFn fn);

}  // namespace korvalinth
