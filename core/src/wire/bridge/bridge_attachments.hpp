#pragma once
// Feeding a bridge's {name}/command and {name}/inbound nodes from producer
// nodes. Each attach or detach changes the producer list and re-points the
// bridge node at the whole list: its deps become the producers and its
// function one that forwards, as the node's own DATA, every value of the
// forwarded type they deliver (producers in list order, values in delivery
// order, one down per value, each a deep copy). When the re-pointing is
// refused, the list and the node are put back before the refusal goes on; a
// failure of that putting back is dropped, so the refusal is what goes on.
// An attach holds no borrow of the list while it rewires; a detach and the
// putting back hold a shared one, so a change of the list from inside their
// rewire is a borrow fault.
// A node sitting in an open batch only queues the rewire: a refusal at the
// batch's end is not caught here.

#include <cstdint>
#include <vector>

#include "node/arena/node_fn.hpp"
#include "wire/bridge/wire_bridge.hpp"

namespace korvalinth {

// The forwarding functions, reading deps 0 .. producer_count - 1.
SharedNodeFn make_command_forwarding_fn(std::uint64_t producer_count);  // WireBridgeCommand values
SharedNodeFn make_inbound_forwarding_fn(std::uint64_t producer_count);  // BridgeInbound values
using ForwardingFnMaker = SharedNodeFn (*)(std::uint64_t producer_count);

// Re-points the node at deps with a fresh forwarding function; a refusal of
// the rewire unwinds.
void install_ack_driver_fn(const UncountedNode& command, std::vector<NodeHandle> deps, std::uint64_t producer_count);
void install_protobuf_bridge_fn(const UncountedNode& inbound, std::vector<NodeHandle> deps, std::uint64_t producer_count);

// Lists the producer unless it is listed (same core, slot and generation),
// then re-points target at the list, also when nothing was appended.
void attach_producer(const UncountedNode& target, ProducerList& producers, NodeHandle producer, ForwardingFnMaker make_fn);
// Unlists every entry naming the producer and re-points target at the rest;
// a producer that is not listed changes nothing and re-points nothing.
void detach_producer(const UncountedNode& target, ProducerList& producers, NodeHandle producer, ForwardingFnMaker make_fn);

// The four attachments of the Python adapters: protobuf bridges feed
// {name}/inbound (inside the host boundary), ack drivers {name}/command
// (outside it: a Python callback's fatal error there is stored for the
// builder to find, not unwound through the rewire).
void attach_protobuf_bridge_inbound(const WireBridge& bridge, ProducerList& inbound_producers, NodeHandle producer);
void detach_protobuf_bridge_inbound(const WireBridge& bridge, ProducerList& inbound_producers, NodeHandle producer);
void attach_ack_driver_commands(const UncountedNode& command, ProducerList& command_producers, NodeHandle producer);
void detach_ack_driver_commands(const UncountedNode& command, ProducerList& command_producers, NodeHandle producer);

}  // namespace korvalinth
