// Wire edge groups built over bridges: edges carried between two graphs as
// protobuf bytes, the refusals of the build, and the release with its
// undoing. The node functions alone: wire_edge_functions_test.cpp.

#include "graph_test_support.hpp"
#include "node/rewire.hpp"
#include "wire/bridge/envelope_conversion.hpp"
#include "wire/codec/envelope_checked.hpp"
#include "wire/edge_group/edge_group_release.hpp"
#include "wire/edge_group/wire_edge_group.hpp"
#include "wire_bridge_test_support.hpp"
#include "wire_edge_test_support.hpp"

using namespace korvalinth;
using namespace korvalinth::test;

namespace {

NodeHandle source(const GraphRef& g, const std::string& id, bool versioned = true) {
  NodeOptions o = NodeOptions::named(id);
  if (!versioned) o.versioning.choice = VersioningForm::Choice::Disabled;
  return g->add_state_node(std::move(o));
}

using EdgeList = std::vector<std::pair<std::string, const NodeHandle*>>;  // no node: inbound
std::vector<WireEdgeGroupEdge> edges(const EdgeList& list) {
  std::vector<WireEdgeGroupEdge> out;
  for (const auto& [id, node] : list)
    out.push_back({id, node ? std::optional(node->promote_counted()) : std::nullopt});
  return out;
}

void set_bytes(const NodeHandle& node, const std::string& text) { node_set(node, make_value<Bytes>(bytes_of_text(text))); }

// Moves what `from` has sent since the last call to `to`, through the codec.
void carry(BridgePeer& from, BridgePeer& to, std::size_t& moved) {
  for (; moved < from.tap(kOutbound).got.size(); ++moved) {
    EnvelopeEncodeChecked encoded = encode_envelope_checked(codec_envelope_from_bridge(from.sent(moved)));
    EnvelopeDecodeChecked decoded = decode_envelope_checked(*encoded.bytes);
    to.receive(bridge_envelope_from_codec(std::move(*decoded.envelope)));
  }
}

std::string cause(int n) { return R"(wire-edge-group-cause:["g",")" + std::to_string(n) + "\"]"; }

std::vector<std::string> ids_of(const GraphRef& g, const ProducerList& list) { return g->dep_ids(*list.borrow()); }
std::uint64_t live_nodes(const GraphRef& g) { return g->core()->borrow()->live_count(); }

}  // namespace

TEST(WireEdgeGroup, CarriesEdgeValuesBetweenTwoGraphsCauseByCause) {
  BridgePeer a(bridge_config()), b(bridge_config());
  NodeHandle x = source(a.graph, "x"), y = source(a.graph, "y");
  auto out = wire_edge_group_outbound_entry(*a.graph, a.bridge, edges({{"y", &y}, {"x", &x}}), "g");
  auto in = wire_edge_group_inbound_entry(*b.graph, b.bridge, {"y", "x"}, "g");
  EXPECT_EQ(b.graph->dep_ids(dep_handles(*b.graph->find("g/events"))), L({"wireBridge/inbound"}));
  EXPECT_EQ(a.graph->dep_ids(dep_handles(*a.graph->find("g/events"))), L({"y", "x", "wireBridge/inbound"}));
  EXPECT_TRUE(in->gate_keepalive.borrow()->has_value());
  EXPECT_FALSE(out->gate_keepalive.borrow()->has_value());
  EXPECT_EQ(in->group->label(), "g.wireEdgeGroup");
  Watch sent{&out->issues_node}, got{&in->inbound_nodes.at("x"), &in->inbound_nodes.at("y"), &in->status_node,
                                     &in->issues_node};
  std::size_t moved = 0;

  set_bytes(x, "1");
  const std::string missing_y = "missing_snapshot y - -: g: missing outbound snapshot for edge y";
  EXPECT_EQ(sent.take(), L({missing_y, missing_y}));  // the traffic's, then the gate's
  set_bytes(y, "2");  // the cause: DIRTY y, DIRTY x, DATA y, DATA x
  EXPECT_EQ(a.tap(kStatus).shown(a.tap(kStatus).got.size() - 1), "open n5 p4 a4 l4");
  carry(a, b, moved);
  const std::string collecting = "collecting " + cause(1) + " ";
  EXPECT_EQ(got.take(), L({collecting + "1/0 rel=0 iss=0", collecting + "2/0 rel=0 iss=0",
                           collecting + "2/1 rel=0 iss=0", "released - 0/0 rel=2 iss=0", "bytes 1", "bytes 2"}));
  set_bytes(x, "3");
  set_bytes(y, "4");
  carry(a, b, moved);
  std::vector<std::string> second = got.take();
  EXPECT_EQ(std::vector(second.end() - 3, second.end()), L({"released - 0/0 rel=4 iss=0", "bytes 3", "bytes 4"}));
  // A retransmitted DIRTY is judged like any other: its cause was released.
  b.receive(a.sent(0));
  EXPECT_EQ(got.take(), L({"issues - 0/0 rel=4 iss=1 last=duplicate_dirty",
                           "duplicate_dirty y " + cause(1) + " -: g: cause " + cause(1) + " was already released"}));
  EXPECT_EQ(b.tap(kStatus).shown(b.tap(kStatus).got.size() - 1), "idle c8");
}

TEST(WireEdgeGroup, RefusesInTheOrderOfItsChecksLeavingNoNewNode) {
  // Sources: v versioned, u and w not, far on another graph.
  struct Rig {
    BridgePeer peer{bridge_config()}, other{bridge_config()};
    std::map<std::string, NodeHandle> nodes;
    Rig() {
      nodes.emplace("v", source(peer.graph, "v"));
      nodes.emplace("u", source(peer.graph, "u", false));
      nodes.emplace("w", source(peer.graph, "w", false));
      nodes.emplace("far", source(other.graph, "far"));
    }
    void build(const std::vector<std::pair<std::string, std::string>>& list, const WireBridge& bridge) {
      EdgeList resolved;
      for (const auto& [id, node] : list) resolved.push_back({id, node.empty() ? nullptr : &nodes.at(node)});
      wire_edge_group_outbound_entry(*peer.graph, bridge, edges(resolved), "g");
    }
  };
  struct Row {
    std::vector<std::pair<std::string, std::string>> edges;  // id, source ("" inbound)
    std::string text;
    std::function<void(Rig&)> setup = [](Rig&) {};
    bool foreign_bridge = false;
  };
  const std::string foreign = "g/events dep belongs to a different graph; cross-graph deps require a wire bridge";
  const std::vector<Row> rows = {
      {{}, "wire_edge_group: edges must be non-empty"},
      {{{"a", ""}, {"", ""}, {"a", ""}}, "wire_edge_group: edge_id must be non-empty"},
      {{{"a", ""}, {"a", ""}, {"", ""}}, "wire_edge_group: duplicate edge_id 'a'"},
      {{{"a", ""}, {"", "v"}}, "wire_edge_group: edge_id must be non-empty"},
      {{{"a", "u"}, {"b", ""}}, "wire_edge_group: inbound and outbound edges must be declared in separate groups"},
      {{{"a", "v"}, {"b", "u"}, {"c", "w"}},
       "wire_edge_group: outbound edge 'b' requires node runtime versioning for D561 fresh-source admission"},
      {{{"a", ""}}, foreign, [](Rig&) {}, true},
      {{{"a", "v"}, {"b", "far"}}, foreign},
      {{{"a", ""}}, "duplicate graph node id 'g/events'", [](Rig& r) { add_state(r.peer.graph, "g/events"); }},
      {{{"a", ""}},
       "graph node id 'g/events' has been released from this graph lifecycle (D122)",
       [](Rig& r) {
         auto g = wire_edge_group_inbound_entry(*r.peer.graph, r.peer.bridge, {"a"}, "g");
         release_core_edge_group(*g);
       }},
      // The command wiring fails: the group is released again.
      {{{"a", ""}}, kRewireTerminal, [](Rig& r) { node_down_data_complete(r.peer.bridge.command, iv(0)); }},
  };
  for (const Row& row : rows) {
    Rig rig;
    row.setup(rig);
    const std::vector<std::string> before = row_ids(rig.peer.graph);
    const std::uint64_t live = live_nodes(rig.peer.graph);
    EXPECT_EQ(fault_text([&] { rig.build(row.edges, row.foreign_bridge ? rig.other.bridge : rig.peer.bridge); }),
              row.text);
    EXPECT_EQ(row_ids(rig.peer.graph), before) << row.text;
    EXPECT_EQ(live_nodes(rig.peer.graph), live) << row.text;
    EXPECT_EQ(ids_of(rig.peer.graph, *rig.peer.bridge.command_producers), L({})) << row.text;
  }
}

// Rows: where the release fails, and whether the undoing renews the gate's
// keep-alive (it cannot once the gate is terminal; the first failure is
// still the one reported).
class WireEdgeGroupReleasePath : public ::testing::TestWithParam<bool> {};

TEST_P(WireEdgeGroupReleasePath, IsUndoneWhereverItFails) {
  const bool inbound = GetParam();
  const std::string busy = "graph: cannot release node group for wire_edge_group release; 'g/status' still has live "
                           "subscribers (D124)";
  struct Row {
    std::string text;  // "" succeeds
    std::function<std::shared_ptr<void>(BridgePeer&, WireEdgeGroup&)> inject;
    bool keepalive_renewed = true;
  };
  auto subscribe_status = [](WireEdgeGroup& g) {
    return std::make_shared<Subscribed>(subscribe_recording(g.status_node));
  };
  const std::vector<Row> rows = {
      {"", [](BridgePeer&, WireEdgeGroup&) { return nullptr; }},
      {kRewireTerminal,  // the detach
       [](BridgePeer& p, WireEdgeGroup&) {
         node_down_data_complete(p.bridge.command, iv(0));
         return nullptr;
       }},
      {kAlreadyBorrowed,  // ending the keep-alive
       [](BridgePeer&, WireEdgeGroup& g) { return std::make_shared<Ref<std::optional<UnsubscribeFn>>>(g.gate_keepalive.borrow()); }},
      {busy, [&](BridgePeer&, WireEdgeGroup& g) { return subscribe_status(g); }},  // the group release
      {busy,
       [&](BridgePeer&, WireEdgeGroup& g) {
         node_down_data_complete(g.gate_node, iv(0));
         return subscribe_status(g);
       },
       false},
  };
  for (const Row& row : rows) {
    BridgePeer p(bridge_config());
    NodeHandle x = source(p.graph, "x");
    NodeHandle other = p.graph->node({}, fn_of([](RunContext&) {}), NodeOptions::named("h/commands"));
    retain_node_handle_once(p.bridge.command, *p.bridge.command_producers, other.promote_counted());
    auto g = inbound ? wire_edge_group_inbound_entry(*p.graph, p.bridge, {"x"}, "g")
                     : wire_edge_group_outbound_entry(*p.graph, p.bridge, edges({{"x", &x}}), "g");
    const std::vector<std::string> rows_before = row_ids(p.graph);
    const std::vector<std::string> listed = {"h/commands", "g/commands"};
    EXPECT_EQ(ids_of(p.graph, *p.bridge.command_producers), listed);
    {
      std::shared_ptr<void> fault_held = row.inject(p, *g);
      EXPECT_EQ(fault_text([&] { release_core_edge_group(*g); }), row.text.empty() ? "<no fault>" : row.text);
    }
    EXPECT_EQ(g->released, row.text.empty()) << row.text;
    if (row.text.empty()) {
      EXPECT_EQ(row_ids(p.graph), L({"wireBridge/command", "wireBridge/inbound", "wireBridge/events",
                                     "wireBridge/outbound", "wireBridge/acks", "wireBridge/nacks",
                                     "wireBridge/status", "wireBridge/errors", "wireBridge/cursor",
                                     "wireBridge/attempts", "x", "h/commands"}));
      EXPECT_EQ(ids_of(p.graph, *p.bridge.command_producers), L({"h/commands"}));
      EXPECT_EQ(p.graph->dep_ids(dep_handles(p.bridge.command)), L({"h/commands"}));
      continue;
    }
    EXPECT_EQ(row_ids(p.graph), rows_before) << row.text;
    EXPECT_EQ(ids_of(p.graph, *p.bridge.command_producers), listed) << row.text;
    EXPECT_EQ(p.graph->dep_ids(dep_handles(p.bridge.command)), listed) << row.text;
    EXPECT_EQ(g->gate_keepalive.borrow()->has_value(), inbound && row.keepalive_renewed) << row.text;
  }
}

INSTANTIATE_TEST_SUITE_P(InboundAndOutbound, WireEdgeGroupReleasePath, ::testing::Bool());
