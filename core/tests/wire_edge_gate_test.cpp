// The edge group's gate in a graph: traffic set on a stand-in events node,
// the gate's events and release records logged in delivery order.

#include <gtest/gtest.h>

#include "wire/edge_group/edge_group_options.hpp"
#include "wire/edge_group/gate.hpp"
#include "wire_edge_test_support.hpp"

namespace korvalinth::test {
namespace {

struct GateRig {
  explicit GateRig(std::vector<std::string> e) : edges(std::move(e)) {}
  std::vector<std::string> edges;
  GraphRef graph = GraphContainer::create("g");
  NodeHandle events = graph->add_state_node(NodeOptions::named("g/events"));
  NodeHandle release = graph->add_state_node(NodeOptions::named("g/release"));
  NodeHandle gate = graph->node(deps_of({&events}), make_edge_group_gate_fn({"g", edges, release.promote_counted()}),
                                edge_group_node_options("g/gate"));
  Watch watch{&gate, &release};
  std::vector<std::string> feed(const std::vector<std::string>& records) {
    for (const std::string& r : records) node_set(events, traffic(r));
    return watch.take();
  }
};

struct GateCase {
  const char* label;
  std::vector<std::string> edges, inputs, expected;
};
class GateAdmission : public testing::TestWithParam<GateCase> {};
TEST_P(GateAdmission, EmitsInOrder) { EXPECT_EQ(GateRig(GetParam().edges).feed(GetParam().inputs), GetParam().expected); }

const std::vector<std::string> kAB{"a", "b"}, kA{"a"};
const std::string kFailedC1 = "incomplete_cause a c1 -: g: cause c1 was already failed closed";
const std::string kCompeting = "competing_cause b c2 c1: g: competing cause c2 arrived while c1 is active";
const std::string kC1Incomplete = "incomplete_cause - c1 -: g: active cause c1 is incomplete";

// Every issue code of the gate, and every way into and out of a cause.
INSTANTIATE_TEST_SUITE_P(Table, GateAdmission, testing::Values(
  GateCase{"each_dirty_before_its_data", kAB, {"D b c1", "V b c1 y", "D a c1", "V a c1 x"},
           {"collecting c1 1/0", "collecting c1 1/1", "collecting c1 2/1", "released c1 2", "release c1 a=x b=y"}},
  GateCase{"data_without_value_is_empty", kA, {"D a c1", "V a c1"}, {"collecting c1 1/0", "released c1 1", "release c1 a="}},
  GateCase{"released_repeated_beside_an_active_cause", kA, {"D a c1", "V a c1 x", "D a c0", "D a c1", "V a c1", "V a c0 y"},
           {"collecting c1 1/0", "released c1 1", "release c1 a=x", "collecting c0 1/0",
            "duplicate_dirty a c1 -: g: cause c1 was already released",
            "duplicate_data a c1 -: g: cause c1 was already released", "released c0 1", "release c0 a=y"}},
  GateCase{"competing_cause_kills_both", kAB, {"D a c1", "D b c2", "D a c1", "D a c2", "D a c3"},
           {"collecting c1 1/0", kCompeting, kC1Incomplete, kFailedC1,
            "incomplete_cause a c2 -: g: cause c2 was already failed closed", "collecting c3 1/0"}},
  GateCase{"data_first", kA, {"V a c1 x", "D a c1"},
           {"data_before_dirty a c1 -: g: DATA for edge a arrived without an active cause", kFailedC1}},
  GateCase{"data_before_its_dirty", kAB, {"D a c1", "V b c1 y", "D a c2"},
           {"collecting c1 1/0", "data_before_dirty b c1 -: g: DATA for edge b arrived before DIRTY", "collecting c2 1/0"}},
  GateCase{"duplicate_dirty", kAB, {"D a c1", "D a c1"}, {"collecting c1 1/0", "duplicate_dirty a c1 -: g: duplicate DIRTY for edge a"}},
  GateCase{"duplicate_data", kAB, {"D a c1", "V a c1 x", "V a c1 x"},
           {"collecting c1 1/0", "collecting c1 1/1", "duplicate_data a c1 -: g: duplicate DATA for edge a"}},
  GateCase{"unknown_edge", kA, {"D a c1", "D z c1", "D a c1"}, {"collecting c1 1/0", "unknown_edge z c1 -: g: unknown edge z", kFailedC1}},
  GateCase{"end_idle_and_collecting_commands_ignored", kAB, {"E", "D a c1", "E", "C"},
           {"collecting c1 1/0", "incomplete_cause - c1 -: g: cause c1 ended before all expected edge frames arrived"}},
  GateCase{"upstream_issue_without_cause", kA, {"D a c1", "I", "V a c1 x"},
           {"collecting c1 1/0", "malformed_frame - - -: up", "released c1 1", "release c1 a=x"}},
  GateCase{"upstream_issue_idle", kA, {"I c1 a", "D a c1"}, {"malformed_frame a c1 -: up", kFailedC1}},
  GateCase{"upstream_issue_of_the_active_cause", kAB, {"D a c1", "I c1", "D b c2"},
           {"collecting c1 1/0", "malformed_frame - c1 -: up", "collecting c2 1/0"}},
  GateCase{"upstream_issue_of_another_cause", kAB, {"D a c1", "I c2 b"},
           {"collecting c1 1/0", "malformed_frame b c2 -: up", kCompeting, kC1Incomplete}},
  GateCase{"released_then_named_by_an_issue", kA, {"D a c1", "V a c1 x", "I c1", "V a c1 x"},
           {"collecting c1 1/0", "released c1 1", "release c1 a=x", "malformed_frame - c1 -: up", kFailedC1}}),
  [](const auto& info) { return std::string(info.param.label); });

TEST(GateAdmission, SkipsOtherTypesAndForgetsTheOldestCauses) {
  GateRig rig({"a"});
  node_set(rig.events, iv(3));
  for (std::size_t i = 0; i <= kRememberedCauses; ++i) rig.feed({"V a c" + std::to_string(i)});
  EXPECT_EQ(gate_state_of(rig.gate)->borrow()->failed_closed.size(), kRememberedCauses);
  EXPECT_EQ(rig.feed({"D a c1", "D a c0"}), L({kFailedC1, "collecting c0 1/0"}));  // c0 was forgotten
  BoundedCauseSet set(2);
  for (const char* id : {"x", "y", "x", "z"}) set.remember(id);
  EXPECT_TRUE(!set.contains("x") && set.contains("y"));  // remembering again does not refresh
}

}  // namespace
}  // namespace korvalinth::test
