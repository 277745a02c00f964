#pragma once
// One edge of a wire edge group: its id on the wire and, for an outbound
// edge, the local node whose values it carries.

#include <optional>
#include <string>
#include <vector>

#include "node/arena/node_handle.hpp"

namespace korvalinth {

struct WireEdgeGroupEdge {
  std::string edge_id;
  std::optional<NodeHandle> node;  // absent on an inbound edge
};

// A copy holding its own counted handle of the node.
inline WireEdgeGroupEdge clone_edge(const WireEdgeGroupEdge& edge) {
  WireEdgeGroupEdge copy{edge.edge_id, std::nullopt};
  if (edge.node) copy.node = edge.node->promote_counted();
  return copy;
}

inline std::vector<WireEdgeGroupEdge> clone_edges(const std::vector<WireEdgeGroupEdge>& edges) {
  std::vector<WireEdgeGroupEdge> copy;
  copy.reserve(edges.size());
  for (const WireEdgeGroupEdge& e : edges) copy.push_back(clone_edge(e));
  return copy;
}

}  // namespace korvalinth
