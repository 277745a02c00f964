#pragma once
// Helpers for tests of the graph container: nodes built directly in a
// graph's core and registered without the factories.

#include <optional>
#include <string>
#include <vector>

#include "graph/graph_container.hpp"
#include "test_support.hpp"

namespace korvalinth::test {

inline NodeHandle add_state(const GraphRef& g, std::optional<std::string> name = std::nullopt,
                            SharedValue initial = nullptr) {
  return g->register_node(make_state(g->core(), std::move(initial)), "state", NodeOptions::named(std::move(name)));
}

inline NodeHandle add_node(const GraphRef& g, std::vector<NodeHandle> deps, std::optional<std::string> name = std::nullopt,
                           NodeSpec spec = {}) {
  NodeHandle n = make_node(g->core(), std::move(deps), fn_of([](RunContext&) {}), std::move(spec));
  return g->register_node(std::move(n), "node", NodeOptions::named(std::move(name)));
}

inline std::vector<std::string> row_ids(const GraphRef& g) {
  std::vector<std::string> ids;
  for (const NodeEntry& row : *g->node_table().borrow()) ids.push_back(row.id());
  return ids;
}

}  // namespace korvalinth::test
