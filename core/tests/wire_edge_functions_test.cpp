// The edge group's node functions run directly: the frame traffic (outbound
// values cut into causes of bridge commands, inbound bridge items judged one
// by one) and the projections.

#include <gtest/gtest.h>

#include "wire/bridge/aux_state.hpp"
#include "wire/edge_group/edge_group_projections.hpp"
#include "wire/edge_group/frame_checks.hpp"
#include "wire/edge_group/frame_traffic.hpp"
#include "wire_edge_test_support.hpp"

namespace korvalinth::test {
namespace {

std::string cause_id(int n) { return R"(wire-edge-group-cause:["g",")" + std::to_string(n) + "\"]"; }
std::vector<std::string> cause(int n, const std::string& x, const std::string& y) {
  return {"cmd DIRTY a " + cause_id(n), "cmd DIRTY b " + cause_id(n), "cmd DATA a " + cause_id(n) + " " + x,
          "cmd DATA b " + cause_id(n) + " " + y};
}
const std::string kMissingA = "missing_snapshot a - -: g: missing outbound snapshot for edge a";
const std::string kMissingB = "missing_snapshot b - -: g: missing outbound snapshot for edge b";

// The function over outbound edges on state nodes (u has no versioning).
// A run's script: "a=1" bytes, "a=#" a number, "a=~" absent; "+a"
// advances a's version first.
struct Out {
  GraphRef graph = GraphContainer::create("g");
  NodeHandle out = graph->add_state_node(NodeOptions::named("out"));
  Watch watch{&out};
  std::vector<std::string> run(NodeFn& fn, std::vector<std::string> traffic_in, std::vector<std::string> gate_in = {}) {
    std::vector<std::vector<SharedValue>> deps{{nullptr}, {iv(1)}};  // absent and foreign values are skipped
    for (const auto& t : traffic_in) deps[0].push_back(traffic(t));
    for (const auto& g : gate_in) deps[1].push_back(gate_event_of(g));
    run_direct(fn, out, std::move(deps));
    return watch.take();
  }
};

struct OutRig : Out {
  std::vector<NodeHandle> nodes;
  SharedNodeFn fn;
  explicit OutRig(const std::string& ids) {
    EdgeGroupFrameConfig config{"g", {}, {}, "s"};
    for (char id : ids) {
      NodeOptions o = NodeOptions::named(std::string(1, id));
      o.versioning.choice = id == 'u' ? VersioningForm::Choice::Disabled : VersioningForm::Choice::Level0;
      nodes.push_back(graph->add_state_node(std::move(o)));
      config.edges.push_back({std::string(1, id), nodes.back().promote_counted()});
      config.dep_edges.push_back(config.dep_edges.size());
    }
    fn = make_edge_group_frame_fn(std::move(config));
  }
  std::vector<std::string> run(const std::string& script) {  // edges named by their position: a, b (or u)
    std::vector<std::vector<SharedValue>> deps(nodes.size());
    std::istringstream in(script);
    for (std::string t; in >> t;) {
      const std::size_t i = (t[0] == '+' ? t[1] : t[0]) == 'b' ? 1 : 0;
      if (t[0] == '+') node_set(nodes[i], iv(0));
      if (t[0] == '+') continue;
      const std::string v = t.substr(2);
      deps[i].push_back(v == "#" ? iv(1) : v == "~" ? nullptr : make_value<Bytes>(bytes_of_text(v)));
    }
    run_direct(*fn, out, std::move(deps));
    return watch.take();
  }
};

TEST(EdgeGroupOutbound, CutsACauseOnceEveryEdgeHasAFreshSnapshot) {
  OutRig rig("ab");
  EXPECT_EQ(rig.run(""), L({}));
  EXPECT_EQ(rig.run("a=1"), L({kMissingB}));
  EXPECT_EQ(rig.run("b=2"), cause(1, "1", "2"));
  EXPECT_EQ(rig.run("a=3"), L({}));                 // under the version last sent
  EXPECT_EQ(rig.run("+a a=4 a=5"), L({kMissingB}));  // the first value of the run is taken
  EXPECT_EQ(rig.run("+b b=6"), cause(2, "4", "6"));
  EXPECT_EQ(rig.run("a=#"), L({"malformed_frame a - -: g: outbound edge a must emit Vec<u8> bytes"}));
  EXPECT_EQ(rig.run("+a a=7 a=~"), L({kMissingA, kMissingB}));
}

TEST(EdgeGroupOutbound, BeforeTheFirstCauseAnyValueCountsAndTheLastWins) {
  OutRig rig("ab");
  EXPECT_EQ(rig.run("a=1 a=2 b=3"), cause(1, "2", "3"));
  OutRig unversioned("u");
  EXPECT_EQ(unversioned.run("u=1"), L({"cmd DIRTY u " + cause_id(1), "cmd DATA u " + cause_id(1) + " 1"}));
  EXPECT_EQ(unversioned.run("+u u=2"), L({}));
  EXPECT_EQ(edge_group_cause_id("q\"b\\", ~0ULL), R"(wire-edge-group-cause:["q\"b\\","18446744073709551615"])");
}

BridgeInbound envelope(WireBridgeEnvelopeType type, std::optional<BridgePayload> payload = {}, std::string session = "s",
                       std::uint64_t seq = 1) {
  return bridge_inbound::Envelope{BridgeEnvelope{session, seq, 0, "k", 1, 1, {}, {}, {}, type, std::move(payload)}};
}
BridgeInbound frame_item(bool dirty, std::string edge, std::string cause, std::optional<std::string> value = {}) {
  return envelope(WireBridgeEnvelopeType::Data, bridge_payload::Data{edge_frame(dirty, edge, cause, value)});
}

struct InboundCase {
  const char* label;
  BridgeInbound item;
  std::string expected;  // "" for nothing
};
class EdgeGroupInbound : public testing::TestWithParam<InboundCase> {};
TEST_P(EdgeGroupInbound, JudgesEachItemAlone) {
  auto judged = [&](bool accepted) {
    auto got = judge_bridge_inbound("g", "s", GetParam().item, accepted);
    return got ? describe_value(make_value<WireEdgeGroupTraffic>(*got)) : "";
  };
  EXPECT_EQ(judged(true), GetParam().expected);
  // What the session refused says nothing here; the three checks before
  // acceptance (ingress failure, invalid envelope, other session) still speak.
  const bool checked_before_acceptance = GetParam().expected.starts_with("malformed_frame - - -");
  EXPECT_EQ(judged(false), checked_before_acceptance ? GetParam().expected : "");
}

using T = WireBridgeEnvelopeType;
const std::string kLongCause(kMaxCauseIdBytes + 1, 'c'), kLongestCause(kMaxCauseIdBytes, 'c');
INSTANTIATE_TEST_SUITE_P(Table, EdgeGroupInbound, testing::Values(
  InboundCase{"failure", bridge_inbound::Failure{"boom"}, "malformed_frame - - -: g: bridge invalid wire-edge ingress: boom"},
  InboundCase{"invalid", envelope(T::Start, {}, "s", 0),
              "malformed_frame - - -: g: bridge invalid wire-edge envelope: " + std::string(display_text(WireBridgeEnvelopeError::ZeroSeq))},
  InboundCase{"other_session", envelope(T::Start, {}, "t"), "malformed_frame - - -: g: bridge session t did not match expected s"},
  InboundCase{"start_ack_nack_status_say_nothing", envelope(T::Start), ""},
  InboundCase{"raw_data", envelope(T::Data, bridge_payload::Data{Bytes{1}}), ""},
  InboundCase{"error", envelope(T::Error, bridge_payload::Bytes{}), "end"},
  InboundCase{"close", envelope(T::Close, bridge_payload::CloseBytes{}), "end"},
  InboundCase{"frame", frame_item(false, "a", "c1", "v"), "frame DATA a c1 v"},
  InboundCase{"empty_edge_first", frame_item(false, "", "c"), "malformed_frame - c -: g: wire-edge frame edge_id must be non-empty"},
  InboundCase{"empty_cause", frame_item(true, "x", ""), "malformed_frame x - -: g: wire-edge frame cause_id must be non-empty"},
  InboundCase{"data_without_value", frame_item(false, "x", "c"), "malformed_frame x c -: g: DATA wire-edge frame requires value bytes"},
  InboundCase{"dirty_with_value", frame_item(true, "x", "c", ""), "malformed_frame x c -: g: DIRTY wire-edge frame must not carry value bytes"},
  InboundCase{"overlong_cause", frame_item(true, "x", kLongCause), "malformed_frame x - -: g: wire-edge frame cause_id exceeds 1024 bytes"},
  InboundCase{"longest_cause", frame_item(true, "x", kLongestCause), "frame DIRTY x " + kLongestCause}),
  [](const auto& info) { return std::string(info.param.label); });

TEST(EdgeGroupStatus, FoldsTrafficIssuesThenGateEventsIntoOneStatusPerRun) {
  Out out;
  SharedNodeFn fn = make_edge_group_status_fn({"b", "a"});
  EXPECT_EQ(out.run(*fn, {"C"}), L({"idle - 0/0 rel=0 iss=0"}));
  EXPECT_EQ(aux_value_of<WireEdgeGroupStatus>(out.out)->expected_edges, L({"b", "a"}));
  EXPECT_EQ(out.run(*fn, {}, {"collecting c 1 0", "collecting c 2 1", "released c 2"}), L({"released - 0/0 rel=2 iss=0"}));
  EXPECT_EQ(out.run(*fn, {"I c9"}, {"collecting d 1 0"}), L({"collecting d 1/0 rel=2 iss=1 last=malformed_frame"}));
  EXPECT_EQ(out.run(*fn, {}, {"issue"}), L({"issues - 0/0 rel=2 iss=2 last=duplicate_dirty"}));
  WireEdgeGroupStatus near_full = *aux_value_of<WireEdgeGroupStatus>(out.out);
  near_full.issues = ~0ULL;
  near_full.released = ~0ULL - 2;
  set_ctx_state(out.out, make_value<WireEdgeGroupStatus>(near_full));
  const std::string max = std::to_string(~0ULL);
  EXPECT_EQ(out.run(*fn, {"I"}, {"released c 5"}), L({"released - 0/0 rel=" + max + " iss=" + max + " last=malformed_frame"}));
}

TEST(EdgeGroupIssues, EmitTrafficIssuesBeforeGateIssues) {
  Out out;
  EXPECT_EQ(out.run(*make_edge_group_issues_fn(), {"C", "I c1 a", "E"}, {"collecting c 1 0", "issue"}),
            L({"malformed_frame a c1 -: up", "duplicate_dirty - - -: gi"}));
}

}  // namespace
}  // namespace korvalinth::test
