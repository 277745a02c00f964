#pragma once
// _WireEdgeGroup, made by Graph._wire_edge_group (inbound) and
// Graph._wire_edge_group_outbound: a core wire edge group with the Python
// nodes around it. Its release() takes the whole down in a fixed order:
// the facade group, the merged projections (outbound), the keep-alive
// subscriptions of the core inbound nodes (inbound), the core group (which
// undoes its own part when it fails), the per-edge adapters (outbound). A
// release that fails leaves the object live; a later one skips what was
// done and goes on from there.

#include <memory>
#include <string>

#include "boundary/core_anchor.hpp"
#include "graphs/graph.hpp"
#include "graph/topology_group.hpp"
#include "kit/refs.hpp"
#include "nodes/node.hpp"
#include "wire/edge_group/wire_edge_group.hpp"
#include "wires/sink_subscriptions.hpp"

namespace korvalinth::py {

struct PyWireEdgeGroup {
  SinkSubscriptions keepalives;  // inbound only: one per core inbound node
  TopologyGroupRef adapter_group;     // outbound only
  TopologyGroupRef projection_group;  // outbound only
  std::shared_ptr<WireEdgeGroup> core;
  TopologyGroupRef facade_group;
  kit::OwnedRef inbound_edges;  // the dict handed out as it is
  PyNode status;
  PyNode issues;
  bool released = false;
  CensusEntry census;  // its keep-alives, its shares of the groups and of the core group
};

PyTypeObject* wire_edge_group_type();

// The facade group with its first two members, "{}/py/status" over
// status_source and "{}/py/issues" over issues_source.
struct EdgeGroupFacade {
  TopologyGroupRef group;
  PyNode status;
  PyNode issues;
};
EdgeGroupFacade build_edge_group_facade(const PyGraph& graph, const std::string& base_name,
                                        const UncountedNode& status_source, const UncountedNode& issues_source);

kit::OwnedRef make_wire_edge_group_object(PyWireEdgeGroup group);

}  // namespace korvalinth::py
