#pragma once
// The core of this thread that belongs to no graph. Placeholder nodes live
// in it: those of graph lookup handles, and the owner of restore's wave.

#include "node/arena/graph_core.hpp"
#include "node/arena/node_handle.hpp"

namespace korvalinth::py {

const CoreRef& detached_core();

// A new node of the detached core, without deps, function or value.
NodeHandle make_detached_placeholder();

}  // namespace korvalinth::py
