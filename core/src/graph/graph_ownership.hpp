#pragma once
// What the container of a graph holds of its core, for the host's cycle
// collector (node/core_ownership.hpp): a Graph object whose container is
// held by nothing else holds exactly these references to the core.

#include <cstddef>

#include "graph/graph_container.hpp"

namespace korvalinth {

// The container's own reference to its core; 0 while one of its tables is
// mutably borrowed.
std::size_t core_refs_in_graph(const GraphContainer& graph) noexcept;

}  // namespace korvalinth
