#include "graph/graph_ownership.hpp"

namespace korvalinth {

std::size_t core_refs_in_graph(const GraphContainer& graph) noexcept {
  if (graph.node_table().is_mutably_borrowed() || graph.id_map().is_mutably_borrowed()) return 0;
  if (!graph.core()) return 0;
  // The id map keeps its nodes' units of count without the core (the rows
  // refer to its entries), so the container's own reference is the only one.
  return 1;
}

}  // namespace korvalinth
