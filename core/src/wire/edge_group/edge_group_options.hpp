#pragma once
// The options every node of a wire edge group is built with: it runs on
// whatever its deps delivered so far (partial) and neither completes nor
// errors with them; the graph's default versioning; no pull id.

#include <string>

#include "graph/node_options.hpp"

namespace korvalinth {

inline NodeOptions edge_group_node_options(std::string id) {
  return NodeOptions::unending(std::move(id));
}

}  // namespace korvalinth
