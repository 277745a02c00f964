#include "graph/graph_ownership.hpp"

namespace korvalinth {

std::size_t core_refs_in_graph(const GraphContainer& graph) noexcept {
  if (graph.node_table().is_mutably_borrowed() || graph.id_map().is_mutably_borrowed()) return 0;
  if (!graph.core()) return 0;
  // Registration admits only handles of this core, and every id-map entry
  // holds one (an entry is empty only inside registration, where no host code
  // runs; rows refer to the entries' handles), so the count needs no walk over
  // the tables: a collector pass costs the same at any graph size.
  return 1 + graph.id_map().borrow()->size();
}

}  // namespace korvalinth
