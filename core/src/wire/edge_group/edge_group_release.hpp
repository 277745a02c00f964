#pragma once
// A wire edge group's place among its bridge's command producers, and the
// end of the group: detached from the bridge, its gate let go, its topology
// group released. A release that fails is undone (the group attached and
// kept active again) before the failure goes on; a failure of that undoing
// is dropped, so the first failure is the one reported.

#include <optional>

#include "wire/bridge/wire_bridge.hpp"
#include "wire/edge_group/wire_edge_group.hpp"

namespace korvalinth {

// Lists handle among the producers unless it is listed, then re-points the
// bridge's command node at the whole list with a fan-in of the commands they
// deliver (producers in list order). A refused rewire puts the list back.
// Inside the host boundary.
void retain_node_handle_once(const UncountedNode& bridge_command, ProducerList& producers, NodeHandle handle);

// Unlists handle and re-points the command node at the rest; a producer that
// is not listed changes nothing. A refused rewire puts the list back.
void detach_command_producer(const UncountedNode& bridge_command, ProducerList& producers, NodeHandle handle);

// Puts value into the slot and returns what it held; faults (dropping value)
// when the slot is borrowed.
std::optional<UnsubscribeFn> replace_gate_keepalive(const GateKeepalive& slot, UnsubscribeFn value);

// Detaches {name}/commands, ends the gate's keep-alive and releases the
// topology group ("wire_edge_group release"); only then is the group marked
// released. Inside the host boundary.
void release_core_edge_group(WireEdgeGroup& group);

}  // namespace korvalinth
