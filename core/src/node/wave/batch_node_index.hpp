#pragma once
// The positions of a batch's records by node, so that a set inside a batch
// finds its node's record without walking all of them.

#include <cstddef>

#include "node/wave/node_keyed_table.hpp"

namespace korvalinth {

using BatchNodeIndex = NodeKeyedTable<std::size_t>;

}  // namespace korvalinth
