#include "graph/graph_ownership.hpp"

namespace korvalinth {

std::size_t core_refs_in_graph(const GraphContainer& graph) noexcept {
  if (graph.node_table().is_mutably_borrowed() || graph.id_map().is_mutably_borrowed()) return 0;
  const GraphCore* core = graph.core().get();
  if (core == nullptr) return 0;
  std::size_t refs = 1;
  for (const NodeEntry& row : *graph.node_table().borrow()) refs += row.handle.core().get() == core;
  for (const auto& [id, handle] : *graph.id_map().borrow()) refs += handle.core().get() == core;
  return refs;
}

}  // namespace korvalinth
