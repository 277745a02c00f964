// A node with a pull id holds its run back until it is pulled, whichever
// road gave its config the id. A wave's DATA and DIRTY tell such a node by
// its state's flags, not its config: every road that gives a config a pull
// id, or puts back a node's state, keeps the two in step.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "node/topology/restored_state.hpp"
#include "test_support.hpp"

using namespace korvalinth;
using namespace korvalinth::test;

namespace {

void give_pull_id(const NodeHandle& n) { set_pull_id(n, std::string("p")); }

void restore(const NodeHandle& n) {
  install_restored_state(n, RestoredNodeState{.value = iv(1), .has_data = true, .status = NodeStatus::Settled});
}

// m = s + 10, counting its runs; built with a pull id when asked.
NodeHandle make_counted_map(const CoreRef& core, const NodeHandle& s, int* runs, bool with_pull_id) {
  if (!with_pull_id) return make_map(core, s, [](int x) { return x + 10; }, runs);
  NodeSpec spec;
  spec.pull_id = std::string("p");
  SharedGraphHooks no_hooks;
  TopologyHook no_topology_hook;
  auto d = Dispatcher::thread_default();
  const DispatcherKey key = d->register_fn(0, fn_of([runs](RunContext& ctx) {
                                             ++*runs;
                                             emit_data(ctx, iv(int_of(ctx.inputs[0].current) + 10));
                                           }));
  return construct_node_with_kind_and_pull_id(core, DepList::for_build(deps_of({&s})), key, d, std::move(spec),
                                              OptionalKindText(), GraphInstalls{no_hooks, no_topology_hook});
}

// How the node came by its pull id (if at all): built with it, given it
// before its subscription, or once subscribed.
struct Road {
  const char* name;
  bool gated;
  bool built_with_id;
  std::function<void(const NodeHandle&)> before;
  std::function<void(const NodeHandle&)> after;
};

}  // namespace

TEST(PullIdGate, ANodeWithAPullIdHoldsItsRunBackWhicheverRoadGaveItTheId) {
  const auto none = [](const NodeHandle&) {};
  const Road roads[] = {
      {"no pull id", false, false, none, none},
      {"built with one", true, true, none, none},
      {"restored after it was built with one", true, true, restore, none},
      {"given one before its subscription", true, false, give_pull_id, none},
      {"given one while subscribed", true, false, none, give_pull_id},
      {"restored after it was given one", true, false,
       [](const NodeHandle& n) {
         give_pull_id(n);
         restore(n);
       },
       none},
  };
  for (const Road& road : roads) {
    SCOPED_TRACE(road.name);
    auto core = GraphCore::create();
    NodeHandle s = make_state(core, iv(1));
    int runs = 0;
    NodeHandle m = make_counted_map(core, s, &runs, road.built_with_id);
    road.before(m);
    Subscribed sub = subscribe_recording(m);
    road.after(m);
    const int runs_before = runs;
    const std::vector<std::string> seen_before = sub.log();
    node_set(s, iv(2));
    if (road.gated) {
      // Neither its DIRTY nor its run goes out: it waits for a pull.
      EXPECT_EQ(runs, runs_before);
      EXPECT_EQ(sub.log(), seen_before);
    } else {
      EXPECT_EQ(runs, runs_before + 1);
      std::vector<std::string> seen = seen_before;
      seen.insert(seen.end(), {"DIRTY", "DATA 12"});
      EXPECT_EQ(sub.log(), seen);
    }
  }
}
