// Wire edge groups built over bridges: edges carried between two graphs as
// protobuf bytes, the refusals of the build, and the release with its
// undoing. The node functions alone: wire_edge_functions_test.cpp.

#include "graph_test_support.hpp"
#include "node/topology/rewire.hpp"
#include "wire/codec/envelope_checked.hpp"
#include "wire/edge_group/edge_group_release.hpp"
#include "wire/edge_group/frame_checks.hpp"
#include "wire/edge_group/frame_traffic.hpp"
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

// Edges as (id, source node's key in nodes); an empty key is an inbound edge.
using EdgeList = std::vector<std::pair<std::string, std::string>>;
std::vector<WireEdgeGroupEdge> edges(const EdgeList& list, const std::map<std::string, NodeHandle>& nodes) {
  std::vector<WireEdgeGroupEdge> out;
  for (const auto& [id, node] : list)
    out.push_back({id, node.empty() ? std::nullopt : std::optional(nodes.at(node).promote_counted())});
  return out;
}

void set_bytes(const UncountedNode& node, const std::string& text) { node_set(node, make_value<Bytes>(bytes_of_text(text))); }

// Moves what `from` has sent since the last call to `to`, through the codec.
void carry(BridgePeer& from, BridgePeer& to, std::size_t& moved) {
  for (; moved < from.tap(kOutbound).got.size(); ++moved) {
    EnvelopeEncodeChecked encoded = encode_envelope_checked(from.sent(moved));
    EnvelopeDecodeChecked decoded = decode_envelope_checked(*encoded.bytes);
    to.receive(std::move(*decoded.envelope));
  }
}

std::string cause(int n) { return R"(wire-edge-group-cause:["g",")" + std::to_string(n) + "\"]"; }

std::vector<std::string> ids_of(const GraphRef& g, const ProducerList& list) { return g->dep_ids(*list.borrow()); }
std::uint64_t live_nodes(const GraphRef& g) { return g->core()->borrow()->live_count(); }

}  // namespace

TEST(WireEdgeGroup, CarriesEdgeValuesBetweenTwoGraphsCauseByCause) {
  BridgePeer a(bridge_config()), b(bridge_config());
  std::map<std::string, NodeHandle> sources;
  for (std::string id : {"x", "y"}) sources.emplace(id, source(a.graph, id));
  const NodeHandle &x = sources.at("x"), &y = sources.at("y");
  auto out = wire_edge_group_outbound_entry(*a.graph, a.bridge, edges({{"y", "y"}, {"x", "x"}}, sources), "g");
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
  // A retransmitted DIRTY is stale to the bridge's session: the group passes it over.
  b.receive(a.sent(0));
  EXPECT_EQ(got.take(), L({"released - 0/0 rel=4 iss=0"}));
  EXPECT_EQ(b.tap(kStatus).shown(b.tap(kStatus).got.size() - 1), "idle c8");
}

// Envelope seq of session s, carrying a frame of the edge x.
BridgeEnvelope frame_envelope(std::uint64_t seq, bool dirty, const std::string& cause,
                              std::optional<std::string> value = {}) {
  return BridgeEnvelope{"s", seq, 0, "k" + std::to_string(seq), 1, 1, {}, {}, {}, WireBridgeEnvelopeType::Data,
                        bridge_payload::Data{edge_frame(dirty, "x", cause, std::move(value))}};
}

// The group's events node and the bridge's processor read the same inbound
// items; which runs first is the runtime's choice (here the group's).
TEST(WireEdgeGroup, ActsOnEachEnvelopeTheSessionAcceptedOnceAndOnNothingItRefused) {
  BridgePeer b(bridge_config());
  auto in = wire_edge_group_inbound_entry(*b.graph, b.bridge, {"x"}, "g");
  Watch got{&in->inbound_nodes.at("x"), &in->issues_node};
  std::vector<BridgeEnvelope> e{frame_envelope(0, true, "-")};
  for (int c = 1; c <= 3; ++c) {
    const std::string cause = "c" + std::to_string(c);
    e.push_back(frame_envelope(e.size(), true, cause));
    e.push_back(frame_envelope(e.size(), false, cause, "v" + std::to_string(c)));
  }
  // A duplicate, one beyond a gap, then each in order, again duplicated.
  for (int seq : {1, 1, 3, 2, 2, 3, 4, 3}) b.receive(e[seq]);
  EXPECT_EQ(got.take(), L({"bytes v1", "bytes v2"}));
  EXPECT_EQ(b.tap(kEvents).shown(),
            "cursor | in | stale | gap | cursor | in | stale | cursor | in | cursor | in | stale");
  // Several in one wave: each reader runs once over all of them.
  run_in_wave_scope(b.bridge.inbound, [&] {
    for (int seq : {6, 5, 5, 6, 6}) b.receive(e[seq]);
  });
  EXPECT_EQ(got.take(), L({"bytes v3"}));
  EXPECT_EQ(b.tap(kStatus).shown(b.tap(kStatus).got.size() - 1), "errored c6 e2 l6");  // the two gaps
}
TEST(WireEdgeGroup, RefusesInTheOrderOfItsChecksLeavingNoNewNode) {
  struct Row {
    EdgeList edges;  // sources: v versioned, u and w not, f on another graph
    std::string text;
    std::function<void(BridgePeer&)> setup = [](BridgePeer&) {};
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
      {{{"a", ""}}, foreign, [](BridgePeer&) {}, true},
      {{{"a", "v"}, {"b", "f"}}, foreign},
      {{{"a", ""}}, "duplicate graph node id 'g/events'", [](BridgePeer& p) { add_state(p.graph, "g/events"); }},
      {{{"a", ""}}, "graph node id 'g/events' has been released from this graph lifecycle (D122)",
       [](BridgePeer& p) { release_core_edge_group(*wire_edge_group_inbound_entry(*p.graph, p.bridge, {"a"}, "g")); }},
      // The command wiring fails: the group is released again.
      {{{"a", ""}}, kRewireTerminal, [](BridgePeer& p) { node_down_data_complete(p.bridge.command, iv(0)); }},
  };
  for (const Row& row : rows) {
    BridgePeer peer(bridge_config()), other(bridge_config());
    std::map<std::string, NodeHandle> nodes;
    for (std::string id : {"v", "u", "w"}) nodes.emplace(id, source(peer.graph, id, id == "v"));
    nodes.emplace("f", source(other.graph, "f"));
    row.setup(peer);
    const std::vector<std::string> before = row_ids(peer.graph);
    const std::uint64_t live = live_nodes(peer.graph);
    EXPECT_EQ(fault_text([&] {
                wire_edge_group_outbound_entry(*peer.graph, row.foreign_bridge ? other.bridge : peer.bridge,
                                               edges(row.edges, nodes), "g");
              }),
              row.text);
    EXPECT_EQ(row_ids(peer.graph), before) << row.text;
    EXPECT_EQ(live_nodes(peer.graph), live) << row.text;
    EXPECT_EQ(ids_of(peer.graph, *peer.bridge.command_producers), L({})) << row.text;
  }
}

// A receiving group refuses cause ids over its limit. A group that would
// send one some day (the last cause number makes the longest) is refused
// when built, after the checks of its edges; a group that sends none is not.
TEST(WireEdgeGroup, RefusesANameThatCouldMakeACauseIdItsPeerRefuses) {
  for (const std::size_t length : {975, 976}) {
    const std::string name(length, 'n');
    const bool peer_accepts_last =
        !validate_wire_edge_frame("r", edge_frame(true, "x", edge_group_cause_id(name, kLastCauseNumber)));
    EXPECT_EQ(peer_accepts_last, length == 975);
    BridgePeer p(bridge_config());
    std::map<std::string, NodeHandle> nodes;
    for (std::string id : {"v", "u"}) nodes.emplace(id, source(p.graph, id, id == "v"));
    auto build = [&](const std::string& source_key) {
      return fault_text(
          [&] { wire_edge_group_outbound_entry(*p.graph, p.bridge, edges({{"a", source_key}}, nodes), name); });
    };
    EXPECT_EQ(build("u"),
              "wire_edge_group: outbound edge 'a' requires node runtime versioning for D561 fresh-source admission");
    const std::vector<std::string> before = row_ids(p.graph);
    EXPECT_EQ(build("v"), peer_accepts_last
                              ? "<no fault>"
                              : "wire_edge_group: name makes cause_id exceed 1024 bytes (up to 1025 bytes)");
    EXPECT_EQ(row_ids(p.graph) == before, !peer_accepts_last);
    EXPECT_EQ(fault_text([&] { wire_edge_group_inbound_entry(*p.graph, p.bridge, {"a"}, name + "/in"); }),
              "<no fault>");
  }
}

// Each row fails the release at one step (none: it succeeds). The undoing
// renews an inbound gate's keep-alive, unless the gate is terminal: the
// first failure is still the one reported.
class WireEdgeGroupReleasePath : public ::testing::TestWithParam<bool> {};

TEST_P(WireEdgeGroupReleasePath, IsUndoneWhereverItFails) {
  const bool inbound = GetParam();
  const std::string busy =
      "graph: cannot release node group for wire_edge_group release; 'g/status' still has live subscribers (D124)";
  struct Row {
    std::string text;
    std::function<std::shared_ptr<void>(BridgePeer&, WireEdgeGroup&)> inject;
    bool keepalive_renewed = true;
  };
  auto subscribe_status = [](WireEdgeGroup& g) { return std::make_shared<Subscribed>(subscribe_recording(g.status_node)); };
  const std::vector<Row> rows = {
      {"<no fault>", [](BridgePeer&, WireEdgeGroup&) { return nullptr; }},
      {kRewireTerminal,  // the detach
       [](BridgePeer& p, WireEdgeGroup&) { return node_down_data_complete(p.bridge.command, iv(0)), nullptr; }},
      {kAlreadyBorrowed,  // ending the keep-alive
       [](BridgePeer&, WireEdgeGroup& g) { return std::make_shared<Ref<std::optional<UnsubscribeFn>>>(g.gate_keepalive.borrow()); }},
      {busy, [&](BridgePeer&, WireEdgeGroup& g) { return subscribe_status(g); }},  // the group release
      {busy,
       [&](BridgePeer&, WireEdgeGroup& g) {
         auto held = subscribe_status(g);
         return node_down_data_complete(g.gate_node, iv(0)), held;
       },
       false},
  };
  for (const Row& row : rows) {
    BridgePeer p(bridge_config());
    std::map<std::string, NodeHandle> nodes;
    nodes.emplace("x", source(p.graph, "x"));
    NodeHandle h = p.graph->node({}, fn_of([](RunContext&) {}), NodeOptions::named("h/commands"));
    retain_node_handle_once(p.bridge.command, *p.bridge.command_producers, h.promote_counted());
    auto g = wire_edge_group_outbound_entry(*p.graph, p.bridge, edges({{"x", inbound ? "" : "x"}}, nodes), "g");
    auto shape = [&] {
      return std::tuple(row_ids(p.graph), ids_of(p.graph, *p.bridge.command_producers),
                        p.graph->dep_ids(dep_handles(p.bridge.command)));
    };
    const auto built = shape();
    EXPECT_EQ(std::get<1>(built), L({"h/commands", "g/commands"}));
    {
      std::shared_ptr<void> fault_held = row.inject(p, *g);
      EXPECT_EQ(fault_text([&] { release_core_edge_group(*g); }), row.text);
    }
    const bool failed = row.text != "<no fault>";
    EXPECT_EQ(g->released, !failed) << row.text;
    if (failed) {
      EXPECT_EQ(shape(), built) << row.text;
      EXPECT_EQ(g->gate_keepalive.borrow()->has_value(), inbound && row.keepalive_renewed) << row.text;
      continue;
    }
    auto [ids, listed, deps] = shape();
    EXPECT_EQ(ids.size(), std::get<0>(built).size() - 7);  // g's seven nodes are gone
    EXPECT_EQ(listed, L({"h/commands"}));
    EXPECT_EQ(deps, L({"h/commands"}));
  }
}

INSTANTIATE_TEST_SUITE_P(InboundAndOutbound, WireEdgeGroupReleasePath, ::testing::Bool());
