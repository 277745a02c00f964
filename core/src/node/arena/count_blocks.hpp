#pragma once
// The memory of nodes' count records. Every node makes one, and it goes
// with its last reference, on whatever thread drops that (a weak reference
// may outlive the graph): blocks of their own size, kept per thread.

#include "base/fixed_size_blocks.hpp"

namespace korvalinth {

// Room for a count record with its shared and weak counts.
using CountBlocks = FixedSizeBlocks<3 * sizeof(void*)>;

}  // namespace korvalinth
