// A wave whose allocations fail: the nodes it touched are unpinned at its
// end and released when their last handle goes, also when the end's own
// allocations fail after the wave's.

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "failing_allocation.hpp"
#include "node/wave/wave_scope.hpp"
#include "test_support.hpp"

using namespace korvalinth;
using namespace korvalinth::test;

namespace {

// FanIn: the fan-out's dependants all feed one node.
enum class Shape { Chain, FanOut, FanIn };

struct WaveFailureCase {
  const char* name;
  Shape shape;
  long in_a_row;  // allocations failing from the armed one on
  // The thread's scope holds no touched buffer when the wave starts, as
  // after a wave's end handed it out: the source's own touch grows first.
  bool no_buffer = false;
};

// More dependants than the touched list's first buffer holds, so the wave
// grows it more than once.
constexpr int kDependants = 20;

struct Graph {
  NodeHandle source;
  std::vector<NodeHandle> dependants;
};

Graph make_graph(const CoreRef& core, Shape shape) {
  Graph g{make_state(core, iv(0)), {}};
  for (int i = 0; i < kDependants; ++i) {
    const NodeHandle& dep = shape == Shape::Chain && i > 0 ? g.dependants.back() : g.source;
    g.dependants.push_back(make_map(core, dep, [](int x) { return x + 1; }));
  }
  if (shape == Shape::FanIn) {
    std::vector<NodeHandle> deps;
    for (const NodeHandle& d : g.dependants) deps.push_back(d.promote_counted());
    g.dependants.push_back(make_node(core, std::move(deps), fn_of([](RunContext& ctx) {
                                       int sum = 0;
                                       for (std::size_t i = 0; i < ctx.inputs.size(); ++i)
                                         sum += int_of(ctx.inputs[i].current);
                                       emit_data(ctx, iv(sum));
                                     })));
  }
  return g;
}

class WaveAllocationFailure : public ::testing::TestWithParam<WaveFailureCase> {};

// Each allocation of a set's wave fails in turn (with the ones right after
// it, for a row of several), on a thread of its own so that the thread's
// wave scope starts with a touched buffer the wave outgrows. The set either
// fails or ends its wave; either way no pin stays raised, and every node
// goes when its handle is dropped.
TEST_P(WaveAllocationFailure, LeavesNoPinAndEveryNodeReleasable) {
  const WaveFailureCase& c = GetParam();
  int failures = 0;
  bool wave_done = false;
  for (long nth = 1; nth < 1000 && !wave_done; ++nth) {
    std::thread([&] {
      auto core = GraphCore::create();
      // The thread's per-thread blocks are made on first use, where a failed
      // allocation ends the process: a lone set makes them first.
      NodeHandle lone = make_state(core, iv(0));
      node_set(lone, iv(1));
      Graph g = make_graph(core, c.shape);
      std::vector<const NodeHandle*> nodes{&g.source};
      for (const NodeHandle& d : g.dependants) nodes.push_back(&d);
      // Each leaf watched, so the set's wave reaches every dependant.
      std::vector<Subscribed> watched;
      if (c.shape != Shape::FanOut) {
        watched.push_back(subscribe_recording(g.dependants.back()));
      } else {
        for (const NodeHandle& d : g.dependants) watched.push_back(subscribe_recording(d));
      }
      EndedScope handed_out;
      if (c.no_buffer) {
        handed_out = wave_scope_cell().unguarded().uninstall();
        ASSERT_EQ(wave_scope_cell().unguarded()->touched.capacity(), 0u);
      }
      {
        FailingAllocation fail(nth, c.in_a_row);
        try {
          node_set(g.source, iv(1));
        } catch (const std::bad_alloc&) {
        }
        wave_done = !fail.failed();
      }
      if (!wave_done) ++failures;
      std::vector<SlotKey> keys;
      for (std::size_t i = 0; i < nodes.size(); ++i) {
        EXPECT_EQ(pin_count(*nodes[i]), 0u) << nth << " node " << i;
        keys.push_back(nodes[i]->key());
      }
      // A wave that grew no buffer failed at or before the source's own
      // touch: the source, touched by no earlier wave, is not left touched.
      if (c.no_buffer && wave_scope_cell().unguarded()->touched.capacity() == 0)
        EXPECT_EQ(core->unguarded().touch_stamp(g.source.index()), 0u) << nth << " source left touched";
      for (Subscribed& w : watched) w.unsubscribe.call();
      lone.drop();
      g.source.drop();
      for (NodeHandle& d : g.dependants) d.drop();
      const Arena& arena = core->unguarded();
      for (std::size_t i = 0; i < keys.size(); ++i) EXPECT_FALSE(arena.is_current(keys[i])) << nth << " node " << i;
      EXPECT_EQ(arena.live_count(), 0u) << nth;
    }).join();
  }
  EXPECT_TRUE(wave_done);
  // The buffer's growths among the dependants' touches at least.
  EXPECT_GE(failures, 2);
}

INSTANTIATE_TEST_SUITE_P(Cases, WaveAllocationFailure,
                         ::testing::Values(WaveFailureCase{"chain", Shape::Chain, 1},
                                           WaveFailureCase{"fan_out", Shape::FanOut, 1},
                                           WaveFailureCase{"fan_in", Shape::FanIn, 1},
                                           WaveFailureCase{"chain_two_in_a_row", Shape::Chain, 2},
                                           WaveFailureCase{"fan_out_two_in_a_row", Shape::FanOut, 2},
                                           WaveFailureCase{"fan_in_two_in_a_row", Shape::FanIn, 2},
                                           WaveFailureCase{"fan_in_three_in_a_row", Shape::FanIn, 3},
                                           WaveFailureCase{"chain_no_buffer", Shape::Chain, 1, true},
                                           WaveFailureCase{"fan_out_no_buffer_two_in_a_row", Shape::FanOut, 2, true}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
