#include <string>
#include <vector>

#include "boundary/guard.hpp"
#include "kit/convert.hpp"
#include "node/arena/graph_core.hpp"
#include "nodes/node_args.hpp"
#include "wire/edge_group/frame_traffic.hpp"
#include "wires/adapter_nodes.hpp"
#include "wires/outbound_edge_fns.hpp"
#include "wires/wire_bridge_adapter.hpp"
#include "wires/wire_edge_group.hpp"
#include "wires/wire_edge_group_builders.hpp"

namespace korvalinth::py {

namespace {

struct OutboundEdgeArgument {
  std::string name;
  NodeHandle source;  // the found node of a lookup handle, else the Node's own
};

// An (edge name, source Node) pair; a tuple subclass is a tuple too.
void require_edge_pair(kit::BorrowedRef item) {
  PyObject* pair = item.get();
  if (!PyTuple_Check(pair)) kit::throw_downcast_error(item, "tuple");
  const Py_ssize_t length = PyTuple_Size(pair);
  if (length != 2) {
    kit::throw_error(PyExc_ValueError,
                     "expected tuple of length 2, but got tuple of length " + std::to_string(length));
  }
  kit::BorrowedRef name(PyTuple_GetItem(pair, 0));
  kit::extract_str(name);  // as a str that is UTF-8, before the Node
  downcast_node(kit::BorrowedRef(PyTuple_GetItem(pair, 1)));
}

std::vector<OutboundEdgeArgument> extract_outbound_edges(kit::BorrowedRef object) {
  std::vector<OutboundEdgeArgument> edges;
  for (const kit::OwnedRef& item : kit::extract_sequence(object, kit::SequenceCheck::Protocol, require_edge_pair)) {
    std::string name = kit::extract_str(kit::BorrowedRef(PyTuple_GetItem(item.get(), 0)));
    NodeRef node = extract_node_ref(kit::BorrowedRef(PyTuple_GetItem(item.get(), 1)));
    edges.push_back({std::move(name), node.lookup_target ? std::move(*node.lookup_target) : std::move(node.primary)});
  }
  return edges;
}

// Freshness is judged by the source's runtime version, so a source must have one.
void check_sources_versioned(const std::vector<OutboundEdgeArgument>& edges) {
  for (const OutboundEdgeArgument& edge : edges) {
    if (version_metadata(edge.source)) continue;
    kit::throw_error(PyExc_ValueError, "wire_edge_group outbound edge " + edge.name +
                                           " requires node runtime versioning for D561 fresh-source admission");
  }
}

// Every cause id the group can send must be one a receiving group accepts.
// A group of no edges sends no causes: the core refuses it for that.
void check_cause_ids_fit(const std::string& base, const std::vector<OutboundEdgeArgument>& edges) {
  if (edges.empty()) return;
  if (std::optional<std::string> breach = cause_id_limit_breach(base)) {
    kit::throw_error(PyExc_ValueError, "wire_edge_group outbound " + *breach);
  }
}

std::vector<UncountedNode> led_by(const UncountedNode& first, const std::vector<NodeHandle>& rest) {
  std::vector<UncountedNode> deps;
  deps.reserve(rest.size() + 1);
  deps.push_back(first);
  for (const NodeHandle& node : rest) deps.push_back(node.uncounted());
  return deps;
}

}  // namespace

kit::OwnedRef graph_wire_edge_group_outbound(PyGraph& self, const kit::Args& args) {
  WireBridgeArgument bridge_argument(args.convert(0, as_wire_bridge));
  std::vector<OutboundEdgeArgument> edges = args.convert(1, extract_outbound_edges);
  std::optional<std::string> name = args.convert(2, kit::extract_optional_str);
  raise_pending_fatal(*self.fatal);
  const std::string base = adapter_base_name(std::move(name), "wireEdgeGroup");
  check_sources_versioned(edges);
  check_cause_ids_fit(base, edges);
  GraphContainer& graph = *self.container;

  TopologyGroupRef adapters = TopologyGroup::create(base + ".pythonWireEdgeGroupOutbound", self.container);
  std::vector<std::string> edge_names;
  std::vector<NodeHandle> edge_issues;
  std::vector<WireEdgeGroupEdge> core_edges;
  for (OutboundEdgeArgument& edge : edges) {
    edge_names.push_back(edge.name);
    NodeHandle outbound = build_adapter_node(graph, adapters, NodeOptions::named(base + "/py/outbound/" + edge.name),
                                             {&edge.source.uncounted(), 1}, make_outbound_edge_fn(edge.source.promote_counted()));
    edge_issues.push_back(build_adapter_node(graph, adapters, NodeOptions::named(base + "/py/issues/" + edge.name),
                                             {&edge.source.uncounted(), 1}, make_outbound_edge_issues_fn(base, edge.name)));
    core_edges.push_back(WireEdgeGroupEdge{edge.name, std::move(outbound)});
  }
  const WireBridge& bridge = *bridge_argument.get().bridge;
  std::shared_ptr<WireEdgeGroup> core = run_guarded(
      *self.fatal, [&] { return wire_edge_group_outbound_entry(graph, bridge, std::move(core_edges), base); });

  TopologyGroupRef projections =
      TopologyGroup::create(base + ".pythonWireEdgeGroupOutboundProjection", self.container);
  NodeHandle merged_issues = build_adapter_node(
      graph, projections, NodeOptions::unending(base + "/py/merged_issues"), led_by(core->issues_node, edge_issues),
      make_merged_issues_fn(edge_issues.size()));
  // Partial: the edges' issue nodes emit nothing while the group is healthy,
  // and the core status must still come through.
  NodeHandle merged_status =
      build_adapter_node(graph, projections, NodeOptions::partial_named(base + "/py/merged_status"),
                         led_by(core->status_node, edge_issues), make_merged_status_fn(std::move(edge_names)));

  EdgeGroupFacade facade = build_edge_group_facade(self, base, merged_status, merged_issues);
  kit::OwnedRef inbound_edges = kit::check(PyDict_New());
  raise_pending_fatal(*self.fatal);
  return make_wire_edge_group_object(PyWireEdgeGroup{SinkSubscriptions(), std::move(adapters),
                                                     std::move(projections), std::move(core),
                                                     std::move(facade.group), std::move(inbound_edges),
                                                     std::move(facade.status), std::move(facade.issues), false});
}

}  // namespace korvalinth::py
