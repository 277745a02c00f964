#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "node/topology/restored_state.hpp"
#include "node/topology/rewire.hpp"
#include "node/wave/pending.hpp"
#include "node/wave/wave_scope.hpp"
#include "test_support.hpp"

using namespace korvalinth;
using namespace korvalinth::test;

namespace {

SharedNodeFn summing() {
  return fn_of([](RunContext& ctx) {
    int sum = 0;
    for (auto& in : ctx.inputs) sum += int_of(in.current);
    emit_data(ctx, iv(sum));
  });
}

// a = 1 and b = 2 feed n, their sum; n is built and nothing else.
struct SumGraph {
  CoreRef core = GraphCore::create();
  NodeHandle a = make_state(core, iv(1));
  NodeHandle b = make_state(core, iv(2));
  SharedNodeFn fn = summing();
  NodeHandle n = make_node(core, deps_of({&a, &b}), fn);

  const EdgeEntry& edge() const { return core->borrow()->edge_at(n.index()); }
  std::size_t states() const { return edge().dep_state.size(); }
  bool states_hold_nothing() const {
    for (const DepSlot& d : edge().dep_state)
      if (!d.holds_nothing_to_drop() || d.has_value || d.pending) return false;
    return true;
  }
  // Each dep's latest value as the node's states hold it, in dep order.
  std::vector<int> latest() const {
    std::vector<int> out;
    for (const DepSlot& d : edge().dep_state) out.push_back(int_of(d.latest));
    return out;
  }
};

}  // namespace

// A built node holds no dep states until its first use makes them; from
// then on it works as a node that had them from its build: the messages
// its first subscriber sees, and the latest values its states hold through
// the first wave.
TEST(LazyDepStates, TheFirstUseMakesTheStatesAndTheNodeWorksAsBefore) {
  struct Case {
    const char* name;
    std::function<void(SumGraph&)> first_use;  // before the subscribe below
    std::size_t states_after_first_use;
    bool seeded;  // a restore that connects seeds the states; other first uses leave them fresh
    std::vector<std::string> on_subscribe;
    std::vector<int> latest_after_subscribe;
  };
  const Case cases[] = {
      {"the first connection", [](SumGraph&) {}, 0, false, L({"START", "DATA 3"}), {1, 2}},
      {"unsubscribed, then connected again",
       [](SumGraph& g) {
         Subscribed s = subscribe_recording(g.n);
         node_set(g.a, iv(4));
         s.unsubscribe.call();
         node_set(g.a, iv(1));
       },
       2, false, L({"START", "DATA 3"}), {1, 2}},
      {"rewired before its first connection",
       [](SumGraph& g) { rewire(g.n, ReplaceDeps{deps_of({&g.b, &g.a}), g.fn}); }, 2, false, L({"START", "DATA 3"}),
       {2, 1}},
      {"restored unconnected",
       [](SumGraph& g) {
         install_restored_state(g.n, RestoredNodeState{.value = iv(9), .has_data = true, .status = NodeStatus::Settled});
       },
       2, false, L({"START", "DATA 9"}), {1, 2}},
      {"restored connected",
       [](SumGraph& g) {
         install_restored_state(g.n, RestoredNodeState{
                                         .value = iv(9), .has_data = true, .status = NodeStatus::Settled, .activated = true});
       },
       2, true, L({"START", "DATA 9"}), {1, 2}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SumGraph g;
    EXPECT_EQ(g.states(), 0u);
    c.first_use(g);
    ASSERT_EQ(g.states(), c.states_after_first_use);
    EXPECT_EQ(g.states_hold_nothing(), !c.seeded);
    Subscribed s = subscribe_recording(g.n);
    EXPECT_EQ(s.log(), c.on_subscribe);
    ASSERT_EQ(g.states(), 2u);
    EXPECT_EQ(g.latest(), c.latest_after_subscribe);
    node_set(g.a, iv(5));
    EXPECT_EQ(s.log().back(), "DATA 7");
    std::vector<int> after = c.latest_after_subscribe;
    for (int& v : after) v = v == 1 ? 5 : v;
    EXPECT_EQ(g.latest(), after);
    for (const DepSlot& d : g.edge().dep_state) EXPECT_FALSE(d.wave_value);
  }
}

// A node that runs before it is connected makes its states for the run: its
// function sees an input for each dep, none with a value. A node that must
// wait for its deps' first values stays without states, and its run check
// finds nothing to run.
TEST(LazyDepStates, ARunBeforeTheFirstConnectionSeesEmptyInputs) {
  for (const bool partial : {true, false}) {
    SCOPED_TRACE(partial ? "partial" : "waits for every dep");
    SumGraph g;
    NodeSpec spec;
    spec.partial = partial ? 1 : 0;
    std::vector<std::size_t> inputs_seen;
    std::vector<int> currents;
    NodeHandle m = make_node(g.core, deps_of({&g.a, &g.b}), fn_of([&](RunContext& ctx) {
                               inputs_seen.push_back(ctx.inputs.size());
                               for (auto& in : ctx.inputs) currents.push_back(int_of(in.current));
                             }),
                             spec);
    run_in_wave_scope(m, [&] { run_queued(m); });
    if (!partial) {
      EXPECT_TRUE(inputs_seen.empty());
      EXPECT_EQ(g.core->borrow()->edge_at(m.index()).dep_state.size(), 0u);
      continue;
    }
    EXPECT_EQ(inputs_seen, std::vector<std::size_t>{2});
    EXPECT_EQ(currents, (std::vector<int>{-999, -999}));
    EXPECT_EQ(g.core->borrow()->edge_at(m.index()).dep_state.size(), 2u);
  }
}

// A node released before it was ever connected gives back each dep's count
// and leaves nothing behind (the sanitizer build catches a block kept).
TEST(LazyDepStates, ANodeReleasedBeforeItsFirstConnectionLeavesNothing) {
  SumGraph g;
  const UncountedNode look = g.n.uncounted();
  g.n.drop();
  EXPECT_FALSE(is_live(look));
  EXPECT_EQ(g.a.count()->count, 1u);
  EXPECT_EQ(g.b.count()->count, 1u);
}

