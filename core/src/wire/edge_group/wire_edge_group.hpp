#pragma once
// A wire edge group: chosen graph edges carried over a wire bridge as edge
// frames, built of registered nodes gathered in one topology group:
//   {name}/events            the frame traffic (outbound sources, then the bridge's inbound node)
//   {name}/release           state; each complete cause, delivered by the gate
//   {name}/gate              admits inbound frames cause by cause
//   {name}/commands          the bridge commands of the traffic; a producer of {bridge}/command
//   {name}/issues, /status   projections of the traffic and the gate
//   {name}/inbound/{edge_id} one per edge: the edge's bytes of each release
// An inbound group (edges without nodes) keeps its gate active itself; an
// outbound one (every edge with its source node) does not.

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/cell.hpp"
#include "graph/topology_group.hpp"
#include "node/arena/unsubscribe_fn.hpp"
#include "wire/bridge/wire_bridge.hpp"
#include "wire/edge_group/edge_group_edge.hpp"

namespace korvalinth {

struct WireEdgeGroupConfig {
  std::vector<WireEdgeGroupEdge> edges;  // input order, kept throughout
  std::optional<std::string> name;       // none: "wireEdgeGroup"
};

// The keep-alive subscription on an inbound group's gate.
using GateKeepalive = Cell<std::optional<UnsubscribeFn>>;

// A built group; every handle is counted.
struct WireEdgeGroup {
  std::map<std::string, NodeHandle> inbound_nodes;  // edge_id -> {name}/inbound/{edge_id}
  GateKeepalive gate_keepalive;                     // none for an outbound group
  GraphRef graph;
  TopologyGroupRef group;
  SharedProducerList command_producers;  // the bridge's
  NodeHandle status_node;
  NodeHandle issues_node;
  NodeHandle gate_node;
  NodeHandle bridge_command_node;
  NodeHandle commands_node;
  bool released = false;  // true only once the core release succeeded
};

// Checks the edges, builds and registers the nodes, lists {name}/commands as
// a producer of the bridge's command node and, for an inbound group,
// subscribes the gate's keep-alive. Faults with the text of the first failed
// check; nodes registered before a failure stay, except that a failed
// command wiring releases the whole group first.
WireEdgeGroup build_wire_edge_group(GraphContainer& graph, const WireBridge& bridge, WireEdgeGroupConfig config);

// The builds behind Graph._wire_edge_group (edges named by id only) and
// Graph._wire_edge_group_outbound (edges paired with their source nodes),
// each inside the host boundary.
std::shared_ptr<WireEdgeGroup> wire_edge_group_inbound_entry(GraphContainer& graph, const WireBridge& bridge,
                                                             const std::vector<std::string>& edge_ids,
                                                             std::string_view name);
std::shared_ptr<WireEdgeGroup> wire_edge_group_outbound_entry(GraphContainer& graph, const WireBridge& bridge,
                                                              std::vector<WireEdgeGroupEdge> edges,
                                                              std::string_view name);

}  // namespace korvalinth
