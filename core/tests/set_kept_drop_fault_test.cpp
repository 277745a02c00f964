// A fault a drop kept before a set is raised by that set's own call, once,
// whichever road the set takes: deferred into a batch without a wave, or in
// the wave it owns. The set itself stands.

#include <gtest/gtest.h>

#include "base/drop_fault.hpp"
#include "node/topology/node_ops.hpp"
#include "node/wave/batch.hpp"
#include "node/wave/wave_scope.hpp"
#include "test_support.hpp"

using namespace korvalinth;
using namespace korvalinth::test;

namespace {

void keep_a_fault() {
  drop_quietly([] { fault("kept by a drop"); });
}

// The scope id the next wave gets: a set that took a wave used one.
std::uint64_t next_scope_id(const NodeHandle& probe) {
  std::uint64_t id = 0;
  run_in_wave_scope(probe, [&] { id = installed_scope_id(); });
  return id;
}

struct Case {
  const char* name;
  bool in_batch;
};

const Case kCases[] = {{"own_wave", false}, {"deferred_in_a_batch", true}};

class SetAfterAKeptFault : public ::testing::TestWithParam<Case> {};

}  // namespace

TEST_P(SetAfterAKeptFault, RaisesItOnceAndStands) {
  auto core = GraphCore::create();
  std::vector<NodeHandle> states;
  for (int i = 0; i < 8; ++i) states.push_back(make_state(core, iv(0)));
  NodeHandle probe = make_state(core, iv(0));
  // A batch before gives the thread's batch room: a set in the next one is
  // deferred without a wave.
  run_batch([&] {
    for (const NodeHandle& s : states) node_set(s, iv(1));
    return false;
  });
  std::string raised;
  std::string after;
  bool took_wave = false;
  auto sets = [&] {
    const std::uint64_t before = next_scope_id(probe);
    keep_a_fault();
    raised = fault_text([&] { node_set(states[0], iv(2)); });
    took_wave = next_scope_id(probe) != before + 1;
    after = fault_text([&] { node_set(states[1], iv(3)); });
  };
  if (GetParam().in_batch) {
    run_batch([&] {
      sets();
      return false;
    });
  } else {
    sets();
  }
  EXPECT_EQ(raised, "kept by a drop");
  EXPECT_EQ(after, "<no fault>");
  EXPECT_FALSE(has_kept_drop_fault());
  EXPECT_EQ(took_wave, !GetParam().in_batch);
  EXPECT_EQ(int_of(cache_of(states[0])), 2);
  EXPECT_EQ(int_of(cache_of(states[1])), 3);
}

INSTANTIATE_TEST_SUITE_P(Table, SetAfterAKeptFault, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& i) { return std::string(i.param.name); });
