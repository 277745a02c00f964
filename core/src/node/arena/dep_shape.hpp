#pragma once
// A requested change of one node's deps, always with the node function to
// install together with the new deps.

#include <memory>
#include <variant>
#include <vector>

#include "node/arena/node_fn.hpp"
#include "node/arena/node_handle.hpp"

namespace korvalinth {

struct SubscribeDep {
  SharedNodeFn fn;
  NodeHandle dep;
};
struct UnsubscribeDep {
  SharedNodeFn fn;
  NodeId dep;
};
struct ReplaceDeps {
  std::vector<NodeHandle> deps;
  SharedNodeFn fn;
};

using DepShape = std::variant<SubscribeDep, UnsubscribeDep, ReplaceDeps>;

// Drops the shape's handles in order, then its function.
void drop_dep_shape(DepShape& shape);

}  // namespace korvalinth
