#include "wire/edge_group/wire_edge_group.hpp"

#include <algorithm>
#include <unordered_set>

#include "host_boundary/host_boundary.hpp"
#include "wire/edge_group/edge_group_options.hpp"
#include "wire/edge_group/edge_group_projections.hpp"
#include "wire/edge_group/edge_group_release.hpp"
#include "wire/edge_group/edge_group_status.hpp"
#include "wire/edge_group/frame_traffic.hpp"
#include "wire/edge_group/gate.hpp"

namespace korvalinth {

namespace {

constexpr const char* kCommandWiringReason = "wire_edge_group failed command wiring";

// Empty and repeated ids anywhere in the list come before a mix of kinds.
void check_edges(const std::vector<WireEdgeGroupEdge>& edges) {
  if (edges.empty()) fault("wire_edge_group: edges must be non-empty");
  std::unordered_set<std::string> seen;
  bool inbound = false;
  bool outbound = false;
  for (const WireEdgeGroupEdge& edge : edges) {
    if (edge.edge_id.empty()) fault("wire_edge_group: edge_id must be non-empty");
    if (!seen.insert(edge.edge_id).second) fault("wire_edge_group: duplicate edge_id '" + edge.edge_id + "'");
    (edge.node ? outbound : inbound) = true;
  }
  if (inbound && outbound) fault("wire_edge_group: inbound and outbound edges must be declared in separate groups");
}

// An outbound source's freshness is judged by its node version.
void check_outbound_versioning(const std::vector<WireEdgeGroupEdge>& edges) {
  for (const WireEdgeGroupEdge& edge : edges) {
    if (edge.node && !version_metadata(*edge.node)) {
      fault("wire_edge_group: outbound edge '" + edge.edge_id +
            "' requires node runtime versioning for D561 fresh-source admission");
    }
  }
}

// Only a group with outbound edges sends causes.
void check_cause_ids_fit(const std::vector<WireEdgeGroupEdge>& edges, const std::string& name) {
  if (std::ranges::none_of(edges, [](const WireEdgeGroupEdge& edge) { return edge.node.has_value(); })) return;
  if (std::optional<std::string> breach = cause_id_limit_breach(name)) fault("wire_edge_group: " + *breach);
}

// Builds each node of the group with the group's options, registers it and
// makes it a member.
class GroupNodes {
 public:
  GroupNodes(GraphContainer& graph, TopologyGroupRef group) : graph_(graph), group_(std::move(group)) {}

  NodeHandle node(std::string id, std::vector<NodeHandle> deps, SharedNodeFn fn) {
    group_->check_live();
    return retained(graph_.node(std::move(deps), std::move(fn), edge_group_node_options(std::move(id))));
  }
  NodeHandle state(std::string id) {
    group_->check_live();
    return retained(graph_.add_state_node(edge_group_node_options(std::move(id))));
  }

 private:
  NodeHandle retained(NodeHandle node) {
    group_->retain(node.promote_counted());
    return node;
  }
  GraphContainer& graph_;
  TopologyGroupRef group_;
};

std::vector<NodeHandle> one_dep(const UncountedNode& dep) {
  std::vector<NodeHandle> deps;
  deps.push_back(dep.promote_counted());
  return deps;
}

std::vector<NodeHandle> two_deps(const UncountedNode& first, const UncountedNode& second) {
  std::vector<NodeHandle> deps = one_dep(first);
  deps.push_back(second.promote_counted());
  return deps;
}

// Lists {name}/commands as a producer of the bridge's command node; a
// failure releases the whole group before it goes on.
void wire_commands(const TopologyGroupRef& group, const WireBridge& bridge, const UncountedNode& commands) {
  try {
    retain_node_handle_once(bridge.command, *bridge.command_producers, commands.promote_counted());
  } catch (...) {
    try {
      release_group(group, kCommandWiringReason);
    } catch (...) {
    }
    throw;
  }
}

std::shared_ptr<WireEdgeGroup> shared_build(GraphContainer& graph, const WireBridge& bridge,
                                            WireEdgeGroupConfig config) {
  HostBoundaryScope boundary;
  // new, not make_shared: the record is built in place (its cell does not move).
  return std::shared_ptr<WireEdgeGroup>(new WireEdgeGroup(build_wire_edge_group(graph, bridge, std::move(config))));
}

}  // namespace

WireEdgeGroup build_wire_edge_group(GraphContainer& graph, const WireBridge& bridge, WireEdgeGroupConfig config) {
  const std::string name = config.name.value_or("wireEdgeGroup");
  check_edges(config.edges);
  check_outbound_versioning(config.edges);
  check_cause_ids_fit(config.edges, name);

  std::vector<std::string> expected;
  std::vector<std::size_t> dep_edges;  // positions of the outbound edges in the input
  std::vector<NodeHandle> events_deps;
  for (std::size_t i = 0; i < config.edges.size(); ++i) {
    const WireEdgeGroupEdge& edge = config.edges[i];
    expected.push_back(edge.edge_id);
    if (!edge.node) continue;
    dep_edges.push_back(i);
    events_deps.push_back(edge.node->promote_counted());
  }
  events_deps.push_back(bridge.inbound.promote_counted());
  const bool inbound_group = dep_edges.empty();

  TopologyGroupRef group = TopologyGroup::create(name + ".wireEdgeGroup", graph.shared_from_this());
  GroupNodes nodes(graph, group);
  NodeHandle events = nodes.node(
      name + "/events", std::move(events_deps),
      make_edge_group_frame_fn(EdgeGroupFrameConfig{name, clone_edges(config.edges), dep_edges, bridge.session_id,
                                                    bridge.events.promote_counted()}));
  NodeHandle release = nodes.state(name + "/release");
  NodeHandle gate = nodes.node(name + "/gate", one_dep(events),
                               make_edge_group_gate_fn(EdgeGroupGateConfig{name, expected, release.promote_counted()}));
  NodeHandle commands = nodes.node(name + "/commands", one_dep(events), make_edge_group_commands_fn());
  NodeHandle issues = nodes.node(name + "/issues", two_deps(events, gate), make_edge_group_issues_fn());
  NodeHandle status = nodes.node(name + "/status", two_deps(events, gate), make_edge_group_status_fn(expected));
  std::map<std::string, NodeHandle> inbound_nodes;
  for (const std::string& edge_id : expected) {
    inbound_nodes.emplace(edge_id, nodes.node(name + "/inbound/" + edge_id, one_dep(release),
                                              make_edge_group_inbound_edge_fn(edge_id)));
  }

  wire_commands(group, bridge, commands);
  std::optional<UnsubscribeFn> keepalive;
  if (inbound_group) keepalive = subscribe_keepalive(graph, gate, name + ".wireEdgeGroup.gate");

  events.drop();
  release.drop();
  return WireEdgeGroup{std::move(inbound_nodes),
                       GateKeepalive(std::move(keepalive)),
                       graph.shared_from_this(),
                       std::move(group),
                       bridge.command_producers,
                       std::move(status),
                       std::move(issues),
                       std::move(gate),
                       bridge.command.promote_counted(),
                       std::move(commands),
                       false};
}

std::shared_ptr<WireEdgeGroup> wire_edge_group_inbound_entry(GraphContainer& graph, const WireBridge& bridge,
                                                             const std::vector<std::string>& edge_ids,
                                                             std::string_view name) {
  WireEdgeGroupConfig config{{}, std::string(name)};
  for (const std::string& id : edge_ids) config.edges.push_back(WireEdgeGroupEdge{id, std::nullopt});
  return shared_build(graph, bridge, std::move(config));
}

std::shared_ptr<WireEdgeGroup> wire_edge_group_outbound_entry(GraphContainer& graph, const WireBridge& bridge,
                                                              std::vector<WireEdgeGroupEdge> edges,
                                                              std::string_view name) {
  return shared_build(graph, bridge, WireEdgeGroupConfig{std::move(edges), std::string(name)});
}

}  // namespace korvalinth
