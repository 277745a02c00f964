#pragma once
// _WireBridgeProtobuf, made by Graph._wire_bridge_protobuf: a canonical
// protobuf face on a _WireBridge of the same graph. Six nodes in one group:
//   {}/inbound_bytes    state; Python sets the bytes the peer sent
//   {}/decoded_inbound  attached to the bridge's inbound node
//   {}/events           both directions classified
//   {}/outbound_bytes   the bridge's outbound envelopes as bytes
//   {}/status, {}/issues  the events as dicts
// release() detaches the adapter from the bridge, then releases the group;
// a failed group release attaches it again.

#include "graphs/graph.hpp"
#include "kit/args.hpp"
#include "kit/refs.hpp"

namespace korvalinth::py {

PyTypeObject* wire_bridge_protobuf_type();

// Graph._wire_bridge_protobuf(bridge, name=None).
kit::OwnedRef graph_wire_bridge_protobuf(PyGraph& self, const kit::Args& args);

}  // namespace korvalinth::py
