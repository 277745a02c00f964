// The bridge's ten nodes as built, and producers attached to its command and
// inbound nodes. Sessions: wire_bridge_session_test.cpp.

#include "graph_test_support.hpp"
#include "node/wave/batch.hpp"
#include "node/topology/rewire.hpp"
#include "wire/bridge/bridge_attachments.hpp"
#include "wire_bridge_test_support.hpp"

using namespace korvalinth;
using namespace korvalinth::test;

TEST(WireBridgeBuild, TenNodesFedByProducersInListOrder) {
  BridgePeer peer(bridge_config());
  EXPECT_EQ(row_ids(peer.graph), L({"wireBridge/command", "wireBridge/inbound", "wireBridge/events",
                                    "wireBridge/outbound", "wireBridge/acks", "wireBridge/nacks", "wireBridge/status",
                                    "wireBridge/errors", "wireBridge/cursor", "wireBridge/attempts"}));
  EXPECT_EQ(peer.graph->dep_ids(dep_handles(peer.bridge.events)), L({"wireBridge/command", "wireBridge/inbound"}));
  add_state(peer.graph, "b/events");
  EXPECT_EQ(fault_text([&] { wire_bridge_entry(*peer.graph, "", "b"); }), "wire_bridge: session_id must be non-empty");
  EXPECT_EQ(fault_text([&] { wire_bridge_entry(*peer.graph, "t", "b"); }), "duplicate graph node id 'b/events'");
  EXPECT_EQ(row_ids(peer.graph).size(), 13u);  // b/command and b/inbound stay
  // Producers of the command node; r's value is no command.
  NodeHandle p = add_state(peer.graph, "p"), q = add_state(peer.graph, "q"), r = add_state(peer.graph, "r");
  ProducerList& list = *peer.bridge.command_producers;
  for (const NodeHandle* producer : {&q, &p, &q, &r})
    attach_ack_driver_commands(peer.bridge.command, list, producer->promote_counted());
  EXPECT_EQ(peer.graph->dep_ids(dep_handles(peer.bridge.command)), L({"q", "p", "r"}));
  run_batch([&] {  // one wave
    node_set(p, make_value<WireBridgeCommand>(bridge_command::Data{bytes_of_text("p"), {}, {}}));
    node_set(q, make_value<WireBridgeCommand>(bridge_command::Start{}));
    node_set(r, make_value<int>(7));
    return false;
  });
  EXPECT_EQ(peer.tap(kEvents).shown(), "out | out");
  EXPECT_EQ(peer.tap(kOutbound).shown(), "o START 1#1 c0 t1 | o DATA 2#1 c0 t1");
  detach_ack_driver_commands(peer.bridge.command, list, q.promote_counted());
  EXPECT_EQ(peer.graph->dep_ids(*list.borrow()), L({"p", "r"}));
  // Inbound producers; a refused re-pointing puts the list back.
  ProducerList& ins = *peer.bridge.inbound_producers;
  attach_protobuf_bridge_inbound(peer.bridge, ins, q.promote_counted());
  node_set(q, make_value<BridgeInbound>(bridge_inbound::Failure{"bad bytes"}));
  EXPECT_EQ(peer.tap(kErrors).shown(), "e bad bytes");
  node_down_data_complete(q, make_value<int>(0));  // the inbound node completes with its producer
  EXPECT_EQ(fault_text([&] { attach_protobuf_bridge_inbound(peer.bridge, ins, r.promote_counted()); }), kRewireTerminal);
  EXPECT_EQ(fault_text([&] { detach_protobuf_bridge_inbound(peer.bridge, ins, q.promote_counted()); }), kRewireTerminal);
  EXPECT_EQ(peer.graph->dep_ids(*ins.borrow()), L({"q"}));
}


namespace {
int forwarding_fns_made = 0;
// Makes the first forwarding function, then faults: in the putting back
// after a refused re-pointing.
SharedNodeFn forwarding_fn_then_fault(std::uint64_t producer_count) {
  if (forwarding_fns_made++ > 0) fault("putting back failed");
  return make_command_forwarding_fn(producer_count);
}
}  // namespace

// The refusal goes on when putting back fails too. An attach holds no
// borrow of the list while it rewires, a detach a shared one: from inside
// their rewire (a topology observer), a second attach is judged by the
// rewire, a second detach is a borrow fault.
TEST(WireBridgeBuild, RefusedRepointingsAndChangesFromInsideARewire) {
  BridgePeer peer(bridge_config());
  NodeHandle p = add_state(peer.graph, "p"), q = add_state(peer.graph, "q"), r = add_state(peer.graph, "r");
  ProducerList& list = *peer.bridge.command_producers;
  attach_ack_driver_commands(peer.bridge.command, list, p.promote_counted());
  std::function<void()> nested;
  std::string nested_fault;
  auto observer = peer.graph->add_topology_observer(std::nullopt, make_topology_observer([&](TopologyEvent e) {
    if (e.kind == TopologyEventKind::DepsChanged && nested) nested_fault = fault_text(std::exchange(nested, {}));
  }));
  nested = [&] { attach_ack_driver_commands(peer.bridge.command, list, r.promote_counted()); };
  attach_ack_driver_commands(peer.bridge.command, list, q.promote_counted());
  EXPECT_EQ(nested_fault, kRewireReentrant);
  nested = [&] { detach_ack_driver_commands(peer.bridge.command, list, p.promote_counted()); };
  detach_ack_driver_commands(peer.bridge.command, list, q.promote_counted());
  EXPECT_EQ(nested_fault, kAlreadyBorrowed);
  // events depends on command: listing it is a cycle.
  forwarding_fns_made = 0;
  EXPECT_EQ(fault_text([&] {
              attach_producer(peer.bridge.command, list, peer.bridge.events.promote_counted(), forwarding_fn_then_fault);
            }),
            kRewireCycle);
  node_down_data_complete(peer.bridge.command, make_value<int>(0));
  forwarding_fns_made = 0;
  EXPECT_EQ(fault_text([&] { detach_producer(peer.bridge.command, list, p.promote_counted(), forwarding_fn_then_fault); }),
            kRewireTerminal);
  EXPECT_EQ(peer.graph->dep_ids(*list.borrow()), L({"p"}));
  EXPECT_EQ(peer.graph->dep_ids(dep_handles(peer.bridge.command)), L({"p"}));
}

// A producer's value reaches the bridge again when the bridge is activated
// again (the producer hands its current value to the new connection); what
// the bridge already handled is not handled a second time, also when the
// producers were re-pointed while the bridge slept.
TEST(WireBridgeBuild, ReactivationHandlesNoProducedValueTwice) {
  BridgePeer peer(bridge_config());
  NodeHandle p = add_state(peer.graph, "p"), q = add_state(peer.graph, "q"), in = add_state(peer.graph, "in");
  attach_ack_driver_commands(peer.bridge.command, *peer.bridge.command_producers, p.promote_counted());
  attach_protobuf_bridge_inbound(peer.bridge, *peer.bridge.inbound_producers, in.promote_counted());
  node_set(p, make_value<WireBridgeCommand>(bridge_command::Data{bytes_of_text("x"), {}, {}}));
  BridgeEnvelope first = peer.sent(0);
  first.envelope_type = WireBridgeEnvelopeType::Data;
  node_set(in, make_value<BridgeInbound>(bridge_inbound::Envelope{first}));
  EXPECT_EQ(peer.tap(kEvents).shown(), "out | cursor | in");
  peer.unsubscribe();
  peer.subscribe();
  attach_ack_driver_commands(peer.bridge.command, *peer.bridge.command_producers, q.promote_counted());
  peer.unsubscribe();
  peer.subscribe();
  node_set(q, make_value<WireBridgeCommand>(bridge_command::Start{}));
  EXPECT_EQ(peer.tap(kEvents).shown(), "out | cursor | in | out");
  EXPECT_EQ(peer.tap(kOutbound).shown(), "o DATA 1#1 c0 t1 | o START 2#1 c1 t1");
}
