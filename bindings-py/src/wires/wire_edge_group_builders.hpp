#pragma once
// The two Graph methods that build a _WireEdgeGroup over a _WireBridge.
//
// Graph._wire_edge_group(bridge, inbound_edges, name=None): the receiving
// end. The core group is built for the edge ids; in front of it go
// "{}/py/status", "{}/py/issues" and, per edge in ascending id order,
// "{}/py/inbound/{}" (the edge's values as bytes), all in the facade group
// "{}.pythonWireEdgeGroupFacade". Each core inbound node is kept active by a
// do-nothing subscription that release() ends.
//
// Graph._wire_edge_group_outbound(bridge, outbound_edges, name=None): the
// sending end, for (edge name, source Node) pairs. Per edge an adapter
// "{}/py/outbound/{}" (what the core group carries) and "{}/py/issues/{}";
// the core group's issues and status merged with the edges' issues in
// "{}/py/merged_issues" and "{}/py/merged_status"; the same facade on top.
// A name that could make a cause id longer than a receiving group accepts
// is refused (ValueError) before anything is built.
//
// Only the core group is built inside the graph-operation guard (its faults
// are RuntimeError); faults of the other nodes are PanicException. Nothing
// is rolled back: what was registered before a failure stays.

#include "graphs/graph.hpp"
#include "kit/args.hpp"
#include "kit/refs.hpp"

namespace korvalinth::py {

kit::OwnedRef graph_wire_edge_group(PyGraph& self, const kit::Args& args);
kit::OwnedRef graph_wire_edge_group_outbound(PyGraph& self, const kit::Args& args);

}  // namespace korvalinth::py
