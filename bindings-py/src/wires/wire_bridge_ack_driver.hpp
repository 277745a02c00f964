#pragma once
// _WireBridgeAckDriver, made by Graph._wire_bridge_ack_driver: ack timeouts
// of one wire bridge, found from the facts of a Python clock node. Four
// sinks follow the bridge's attempts, acks, nacks and status; five nodes in
// one group:
//   {}/events    the clock facts checked and the pending seqs scanned
//   {}/commands  attached to the bridge's command node: the ack timeouts
//   {}/timeouts, {}/status, {}/issues  the events as dicts
// release() detaches the commands node, releases the group, then removes
// the sinks.

#include "graphs/graph.hpp"
#include "kit/args.hpp"
#include "kit/refs.hpp"

namespace korvalinth::py {

PyTypeObject* wire_bridge_ack_driver_type();

// Graph._wire_bridge_ack_driver(bridge, clock, timeout_ms, name=None).
kit::OwnedRef graph_wire_bridge_ack_driver(PyGraph& self, const kit::Args& args);

}  // namespace korvalinth::py
