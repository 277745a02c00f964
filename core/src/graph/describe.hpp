#pragma once
// Describe: a snapshot of a graph and its mounts as nodes, edges and
// subgraphs, ids inside mounts qualified by "{path}::". Unregistered deps
// appear under their synthetic ids. collect_qualified_nodes is the lighter
// walk behind observe: every registered node of the mount tree with its
// qualified id.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "graph/graph_container.hpp"
#include "node/arena/message.hpp"

namespace korvalinth {

struct OpaqueValue {
  bool operator==(const OpaqueValue&) const = default;
};

// A cached value classified by its concrete type.
using DescribedValue = std::variant<bool, std::int64_t, std::uint64_t, double, std::string, OpaqueValue>;

struct NodeDescription {
  std::string id;
  std::optional<std::string> name;
  std::string factory;
  NodeStatus status = NodeStatus::Sentinel;
  std::optional<DescribedValue> value;
  std::vector<std::string> deps;
  std::optional<std::map<std::string, std::string>> metadata;  // absent when empty
};

struct EdgeDescription {
  std::string from;
  std::string to;
};

struct GraphDescription {
  std::optional<std::string> name;  // a mounted graph's qualified mount path
  std::vector<NodeDescription> nodes;
  std::vector<EdgeDescription> edges;
  std::optional<std::vector<GraphDescription>> subgraphs;  // absent without mounts
};

GraphDescription describe(GraphContainer& graph);
GraphDescription describe_graph_tree(GraphContainer& graph, const std::string& prefix);
DescribedValue describe_value_kind(const Value& value);

// Whether the graph's own (unqualified) nodes include id with factory
// "state": the check of the conformance state setter.
bool describes_state_node(GraphContainer& graph, const std::string& id);

using QualifiedNodes = std::vector<std::pair<std::string, NodeHandle>>;
// Appends (prefix + id, counted handle) for every row, then for each mount.
void collect_qualified_nodes(GraphContainer& graph, const std::string& prefix, QualifiedNodes& out);

}  // namespace korvalinth
