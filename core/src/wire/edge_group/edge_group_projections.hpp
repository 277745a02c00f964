#pragma once
// The group's other projections of its two internal streams: every issue,
// every outgoing bridge command, and each edge's bytes out of every
// released cause.

#include <string>

#include "node/arena/node_fn.hpp"

namespace korvalinth {

// {name}/issues, deps 0 {name}/events, 1 {name}/gate: each WireEdgeGroupIssue,
// the traffic's before the gate's.
SharedNodeFn make_edge_group_issues_fn();

// {name}/commands, dep 0 {name}/events: each WireBridgeCommand of the traffic.
SharedNodeFn make_edge_group_commands_fn();

// {name}/inbound/{edge_id}, dep 0 {name}/release: the edge's Bytes of each release.
SharedNodeFn make_edge_group_inbound_edge_fn(std::string edge_id);

}  // namespace korvalinth
