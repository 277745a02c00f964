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
// function sees an input for each dep, none with a value (past two deps the
// inputs are lent from the fresh states). A node that must wait for its deps'
// first values, or that has no function and settles from its first dep,
// stays without states and sends nothing. Its first connection then works
// as for any node.
TEST(LazyDepStates, ARunBeforeTheFirstConnectionSeesEmptyInputs) {
  struct Case {
    const char* name;
    int deps;  // state nodes holding 1, 2, ...
    bool partial;
    bool has_fn;
    std::vector<int> currents;  // each dep's, in the run before the connection; -999: none
    std::vector<bool> lent;
    std::size_t states_after_run;
    std::vector<std::string> on_subscribe;
  };
  const Case cases[] = {
      {"partial, two deps", 2, true, true, {-999, -999}, {false, false}, 2,
       L({"START", "DATA 0", "DATA 1", "DATA 3"})},
      {"partial, three deps lent", 3, true, true, {-999, -999, -999}, {true, true, true}, 3,
       L({"START", "DATA 0", "DATA 1", "DATA 3", "DATA 6"})},
      {"waits for every dep", 2, false, true, {}, {}, 0, L({"START", "DATA 3"})},
      {"no function", 2, false, false, {}, {}, 0, L({"START", "DIRTY", "DATA 1", "DIRTY", "DATA 1"})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CoreRef core = GraphCore::create();
    std::vector<NodeHandle> sources;
    for (int i = 1; i <= c.deps; ++i) sources.push_back(make_state(core, iv(i)));
    std::vector<NodeHandle> deps;
    for (const NodeHandle& d : sources) deps.push_back(d.promote_counted());
    NodeSpec spec;
    spec.partial = c.partial ? 1 : 0;
    std::vector<int> currents;
    std::vector<bool> lent;
    bool connected = false;
    // Sums its inputs' values (none counts 0); only a run before the
    // connection records them.
    auto sum = fn_of([&](RunContext& ctx) {
      int total = 0;
      for (DepInput& in : ctx.inputs) {
        if (!connected) {
          currents.push_back(int_of(in.current));
          EXPECT_FALSE(in.latest());
          EXPECT_TRUE(in.deliveries().empty());
          lent.push_back(in.keep_share());
        }
        if (in.current) total += int_of(in.current);
      }
      emit_data(ctx, iv(total));
    });
    NodeHandle m = c.has_fn ? make_node(core, std::move(deps), sum, spec)
                            : construct_node(core, std::move(deps), std::nullopt, Dispatcher::thread_default(),
                                             nullptr, std::move(spec));
    run_in_wave_scope(m, [&] { run_queued(m); });
    EXPECT_EQ(currents, c.currents);
    EXPECT_EQ(lent, c.lent);
    {
      auto a = core->borrow();
      const EdgeEntry& e = a->edge_at(m.index());
      EXPECT_EQ(e.dep_state.size(), c.states_after_run);
      // What the run sent down is what the node now holds.
      EXPECT_EQ(int_of(e.cache), c.currents.empty() ? -999 : 0);
    }
    connected = true;
    Subscribed s = subscribe_recording(m);
    EXPECT_EQ(s.log(), c.on_subscribe);
    EXPECT_EQ(core->borrow()->edge_at(m.index()).dep_state.size(), static_cast<std::size_t>(c.deps));
  }
}

// States of another count than the deps' break the node: its connection
// faults as the index past its states would, before it connects any dep, and
// the subscribe's wave ends with that fault's ERROR.
TEST(LazyDepStates, StatesOfAnotherCountThanTheDepsFault) {
  for (const std::size_t count : {std::size_t{1}, std::size_t{3}}) {
    SCOPED_TRACE(count);
    SumGraph g;
    g.core->borrow_mut()->wave_edge(g.n.key()).dep_state = new_dep_state(count);
    const std::uint64_t a_count = g.a.count()->count;
    Subscribed s = subscribe_recording(g.n);
    const std::string n = std::to_string(count);
    EXPECT_EQ(s.log(), L({"START", "ERROR index out of bounds: the len is " + n + " but the index is " + n}));
    EXPECT_EQ(g.edge().dep_state.size(), count);
    EXPECT_EQ(g.a.count()->count, a_count);
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
