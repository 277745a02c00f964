#include "graph/describe.hpp"

#include <cstddef>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

namespace korvalinth {

namespace {

template <class T>
bool holds(const Value& v) {
  return v.type_tag() == type_tag_of<T>();
}

template <class... Ts>
std::optional<std::int64_t> as_signed(const Value& v) {
  std::optional<std::int64_t> out;
  ((!out && holds<Ts>(v) ? (out = static_cast<std::int64_t>(*value_cast<Ts>(v)), true) : false), ...);
  return out;
}

template <class... Ts>
std::optional<std::uint64_t> as_unsigned(const Value& v) {
  std::optional<std::uint64_t> out;
  ((!out && holds<Ts>(v) ? (out = static_cast<std::uint64_t>(*value_cast<Ts>(v)), true) : false), ...);
  return out;
}

// What one describe_graph_tree call looks deps up in: the registered rows by
// node, and the unregistered deps met so far (described after the rows).
struct DescribeIndex {
  std::unordered_map<NodeId, const std::string*, NodeIdHash> row_ids;
  std::unordered_set<NodeId, NodeIdHash> listed_externals;
  std::vector<NodeHandle> externals;
};

// The dep's row id, or its synthetic id; an unregistered dep not yet listed
// joins the external nodes.
std::string describe_dep(GraphContainer& graph, const UncountedNode& dep, const std::string& prefix,
                         DescribeIndex& index) {
  if (auto row = index.row_ids.find(dep.id()); row != index.row_ids.end()) return prefix + *row->second;
  if (index.listed_externals.insert(dep.id()).second) index.externals.push_back(dep.promote_counted());
  return graph.node_id_of_slow(dep, prefix);
}

// Deps, edges, status and value of one node; id, name, factory and metadata
// are the caller's.
NodeDescription describe_node(GraphContainer& graph, const UncountedNode& node, std::string id, const std::string& prefix,
                              DescribeIndex& index, std::vector<EdgeDescription>& edges) {
  NodeDescription d;
  d.id = std::move(id);
  std::vector<UncountedNode> deps = dep_handles(node);
  d.deps.reserve(deps.size());
  for (const UncountedNode& dep : deps) d.deps.push_back(describe_dep(graph, dep, prefix, index));
  for (const std::string& from : d.deps) edges.push_back(EdgeDescription{from, d.id});
  d.status = status_of(node);
  if (SharedValue v = cache_of(node)) d.value = describe_value_kind(*v);
  return d;
}

}  // namespace

DescribedValue describe_value_kind(const Value& v) {
  if (holds<bool>(v)) return *value_cast<bool>(v);
  if (auto i = as_signed<std::int8_t, std::int16_t, std::int32_t, std::int64_t, std::intptr_t, long long>(v)) return *i;
  if (auto u = as_unsigned<std::uint8_t, std::uint16_t, std::uint32_t, std::uint64_t, std::uintptr_t,
                           unsigned long long>(v))
    return *u;
  if (holds<float>(v)) return static_cast<double>(*value_cast<float>(v));
  if (holds<double>(v)) return *value_cast<double>(v);
  if (holds<std::string>(v)) return *value_cast<std::string>(v);
  if (holds<std::string_view>(v)) return std::string(*value_cast<std::string_view>(v));
  return OpaqueValue{};
}

GraphDescription describe(GraphContainer& graph) { return describe_graph_tree(graph, ""); }

GraphDescription describe_graph_tree(GraphContainer& graph, const std::string& prefix) {
  struct RowCopy {
    UncountedNode handle;
    std::string id;
    std::optional<std::string> name;
    std::string kind;
    std::map<std::string, std::string> metadata;
  };
  std::vector<RowCopy> rows;
  {
    auto table = graph.node_table().borrow();
    rows.reserve(table->size());
    for (const NodeEntry& row : *table)
      rows.push_back(RowCopy{row.node().uncounted(graph.core()), row.id(), row.name(), row.kind, row.metadata()});
  }

  GraphDescription out;
  out.name = graph.name();
  DescribeIndex index;
  index.row_ids.reserve(rows.size());
  // A node registered twice is found under its first row, as a scan would.
  for (const RowCopy& row : rows) index.row_ids.emplace(row.handle.id(), &row.id);
  out.nodes.reserve(rows.size());
  for (RowCopy& row : rows) {
    NodeDescription d = describe_node(graph, row.handle, prefix + row.id, prefix, index, out.edges);
    d.name = std::move(row.name);
    d.factory = std::move(row.kind);
    if (!row.metadata.empty()) d.metadata = std::move(row.metadata);
    out.nodes.push_back(std::move(d));
  }
  // Externals may grow while they are described (deps of externals).
  for (std::size_t i = 0; i < index.externals.size(); ++i) {
    UncountedNode node = index.externals[i].uncounted();
    std::string id = graph.node_id_of_slow(node, prefix);
    NodeDescription d = describe_node(graph, node, std::move(id), prefix, index, out.edges);
    d.factory = node_kind(node).value_or("?");
    out.nodes.push_back(std::move(d));
  }
  index.externals.clear();

  std::vector<std::pair<std::string, GraphRef>> children;
  {
    auto ms = graph.mounts().borrow();
    for (const GraphMount& m : *ms) children.emplace_back(m.path, m.child);
  }
  if (!children.empty()) {
    out.subgraphs.emplace();
    for (auto& [path, child] : children) {
      GraphDescription sub = describe_graph_tree(*child, prefix + path + "::");
      sub.name = prefix + path;
      out.subgraphs->push_back(std::move(sub));
    }
  }
  return out;
}

bool describes_state_node(GraphContainer& graph, const std::string& id) {
  GraphDescription d = describe(graph);
  for (const NodeDescription& n : d.nodes) {
    if (n.id == id && n.factory == "state") return true;
  }
  return false;
}

void collect_qualified_nodes(GraphContainer& graph, const std::string& prefix, QualifiedNodes& out) {
  {
    auto rows = graph.node_table().borrow();
    out.reserve(out.size() + rows->size());
    for (const NodeEntry& row : *rows) out.emplace_back(prefix + row.id(), row.node().promote_counted(graph.core()));
  }
  std::vector<std::pair<std::string, GraphRef>> children;
  {
    auto ms = graph.mounts().borrow();
    for (const GraphMount& m : *ms) children.emplace_back(m.path, m.child);
  }
  for (auto& [path, child] : children) collect_qualified_nodes(*child, prefix + path + "::", out);
}

}  // namespace korvalinth
