#pragma once
// The checkpoint writer: one quiescent graph, with its mounted children, as
// a GraphCheckpoint. Registered nodes come in registration order, then the
// unregistered nodes they depend on in discovery order. The writer changes
// nothing in the graph but the synthetic ids it gives to discovered nodes,
// starts no wave and calls no node function.

#include <expected>
#include <string>

#include "checkpoint/checkpoint_records.hpp"
#include "graph/graph_container.hpp"

namespace korvalinth {

// The graph's checkpoint, or the first failure's text.
std::expected<GraphCheckpoint, std::string> checkpoint_graph(GraphContainer& graph);

// The child's checkpoint under "at" path; the child's failure text unchanged.
std::expected<GraphCheckpointMount, std::string> checkpoint_mount(std::string path, GraphContainer& child);

}  // namespace korvalinth
