// Edge cases of rewiring a node's deps, of applying the change, and of the
// deferred operations that carry rewires and upstream messages past a wave.

#include <gtest/gtest.h>

#include "node/wave/batch.hpp"
#include "node/wave/deferred_ops.hpp"
#include "node/topology/rewire.hpp"
#include "node/wave/wave_scope.hpp"
#include "test_support.hpp"

using namespace korvalinth;
using namespace korvalinth::test;

namespace {

EdgeEntry& edge(const UncountedNode& n) { return n.core_ref().unguarded().edge_at(n.index()); }
std::size_t sink_count(const UncountedNode& n) { return n.core_ref().borrow()->aux_at(n.index()).sinks.size(); }

std::vector<NodeId> dep_ids(const UncountedNode& n) {
  std::vector<NodeId> out;
  CheckedLive live = check_live(n);
  for (const UncountedNode& d : live.topology.deps) out.push_back(d.id());
  return out;
}

std::vector<NodeHandle> handles(std::initializer_list<const NodeHandle*> nodes) { return deps_of(nodes); }

using Hook = std::function<void(const UncountedNode&, const std::vector<NodeHandle>&, const std::vector<NodeHandle>&)>;
void hook(const UncountedNode& n, Hook h) { set_topology_hook(n, std::make_shared<const Hook>(std::move(h))); }

}  // namespace

TEST(RewireEdges, InTheOpenBatchOnlyTheGraphIsCheckedAtOnce) {
  auto core = GraphCore::create();
  auto other = GraphCore::create();
  NodeHandle n = make_state(core, iv(0));
  NodeHandle foreign = make_state(other);
  auto sub = subscribe_recording(n);
  std::string at_once;
  std::string at_end = fault_text([&] {
    run_batch([&] {
      node_set(n, iv(1));
      at_once = fault_text([&] { rewire(n, SubscribeDep{summing(0), foreign.promote_counted()}); });
      // A self-dependency is not looked at now: the rewire waits for the batch's end.
      rewire(n, SubscribeDep{summing(0), n.promote_counted()});
      return false;
    });
  });
  EXPECT_EQ(at_once, kRewireForeignDep);
  EXPECT_EQ(at_end, kRewireSelf);
  EXPECT_EQ(sub.log(), L({"START", "DATA 0", "DIRTY", "DATA 1"}));
  EXPECT_TRUE(dep_ids(n).empty());
}

TEST(RewireEdges, AnUnchangedListStillInstallsTheNewFunction) {
  auto core = GraphCore::create();
  NodeHandle a = make_state(core, iv(1));
  NodeHandle stranger = make_state(core, iv(5));
  NodeHandle n = make_node(core, handles({&a}), summing(0));
  auto sub = subscribe_recording(n);
  rewire(n, SubscribeDep{summing(100), a.promote_counted()});
  node_set(a, iv(2));
  EXPECT_EQ(sub.log().back(), "DATA 102");
  rewire(n, UnsubscribeDep{summing(200), stranger.id()});
  node_set(a, iv(3));
  EXPECT_EQ(sub.log().back(), "DATA 203");
  EXPECT_EQ(dep_ids(n), std::vector<NodeId>{a.id()});
}

TEST(RewireEdges, KeepingATerminalDepIsAllowed) {
  auto core = GraphCore::create();
  NodeHandle a = make_state(core, iv(1));
  NodeHandle b = make_state(core, iv(2));
  NodeSpec stays;
  stays.complete_when_deps_complete = 0;
  NodeHandle n = make_node(core, handles({&a}), summing(0), stays);
  auto sub = subscribe_recording(n);
  node_down_in_wave_scope(a, one_message(Message::complete()));
  ASSERT_EQ(status_of(n), NodeStatus::Settled);
  rewire(n, ReplaceDeps{handles({&a, &b}), summing(0)});
  EXPECT_EQ(dep_ids(n), (std::vector<NodeId>{a.id(), b.id()}));
}

TEST(RewireEdges, ARewireNextQueuedBeforeTheNodeEndedIsStillApplied) {
  auto core = GraphCore::create();
  NodeHandle a = make_state(core, iv(1));
  NodeHandle b = make_state(core, iv(2));
  int next_runs = 0;
  auto next_fn = fn_of([&](RunContext&) { ++next_runs; });
  NodeHandle n = make_node(core, handles({&a}), fn_of([&](RunContext& ctx) {
                             batch_defer_rewire(ctx.node, SubscribeDep{next_fn, b.promote_counted()});
                             down(ctx.node, Message::complete());
                           }));
  auto sub = subscribe_recording(n);
  EXPECT_EQ(status_of(n), NodeStatus::Completed);
  EXPECT_EQ(dep_ids(n), (std::vector<NodeId>{a.id(), b.id()}));
  EXPECT_EQ(next_runs, 0);  // a terminal node is not re-evaluated
  EXPECT_EQ(fault_text([&] { rewire(n, UnsubscribeDep{next_fn, b.id()}); }), kRewireTerminal);
}

TEST(RewireEdges, ARewireBetweenWavesRunsTheOpsQueuedDuringIt) {
  auto core = GraphCore::create();
  NodeHandle a = make_state(core, iv(1));
  NodeHandle b = make_state(core, iv(2));
  NodeHandle target = make_state(core, iv(9));
  auto st = subscribe_recording(target);
  NodeHandle n = make_node(core, handles({&a}), summing(0));
  hook(n, [&](const UncountedNode&, const std::vector<NodeHandle>&, const std::vector<NodeHandle>&) {
    batch_defer_emission(target, one_message(Message::invalidate()), std::nullopt);
  });
  rewire(n, SubscribeDep{summing(0), b.promote_counted()});
  EXPECT_EQ(st.log(), L({"START", "DATA 9", "INVALIDATE"}));
  EXPECT_TRUE(core->borrow()->deferred_ops().empty());
}

TEST(RewireApplyEdges, TheSameListOnlySwapsTheFunction) {
  auto core = GraphCore::create();
  NodeHandle a = make_state(core, iv(1));
  NodeHandle b = make_state(core, iv(2));
  NodeHandle n = make_node(core, handles({&a, &b}), summing(0));
  int hook_calls = 0;
  hook(n, [&](const UncountedNode&, const std::vector<NodeHandle>&, const std::vector<NodeHandle>&) { ++hook_calls; });
  auto sub = subscribe_recording(n);
  const std::uint64_t a_sink = core->borrow()->aux_at(a.index()).sinks[0].id;
  rewire(n, ReplaceDeps{handles({&a, &b}), summing(10)});
  EXPECT_EQ(hook_calls, 0);
  EXPECT_EQ(sub.log(), L({"START", "DATA 3"}));
  EXPECT_EQ(core->borrow()->aux_at(a.index()).sinks[0].id, a_sink);
  EXPECT_EQ(core->borrow()->aux_at(a.index()).next_sink_id, a_sink + 1);
  node_set(a, iv(5));
  EXPECT_EQ(sub.log().back(), "DATA 17");
}

TEST(RewireApplyEdges, AnInactiveNodeConnectsItsNewDepsOnlyWhenActivated) {
  auto core = GraphCore::create();
  NodeHandle a = make_state(core, iv(1));
  NodeHandle b = make_state(core, iv(2));
  NodeHandle n = make_node(core, handles({&a}), summing(0));
  std::vector<std::pair<std::size_t, std::size_t>> hook_calls;
  hook(n, [&](const UncountedNode&, const std::vector<NodeHandle>& o, const std::vector<NodeHandle>& nw) {
    hook_calls.emplace_back(o.size(), nw.size());
  });
  rewire(n, ReplaceDeps{handles({&b}), summing(0)});
  EXPECT_EQ(sink_count(b), 0u);
  EXPECT_EQ(hook_calls, (std::vector<std::pair<std::size_t, std::size_t>>{{1, 1}}));
  auto sub = subscribe_recording(n);
  EXPECT_EQ(sink_count(b), 1u);
  EXPECT_EQ(sink_count(a), 0u);
  EXPECT_EQ(sub.log(), L({"START", "DATA 2"}));
}

TEST(RewireApplyEdges, LosingThePendingDepReEvaluatesTheNodeWithItsNewFunction) {
  auto core = GraphCore::create();
  NodeHandle a = make_state(core, iv(1));
  NodeHandle b = make_state(core, iv(2));
  NodeHandle n = make_node(core, handles({&a, &b}), summing(0));
  auto sub = subscribe_recording(n);
  node_down_in_wave_scope(a, one_message(Message::dirty()));
  ASSERT_EQ(status_of(n), NodeStatus::Dirty);
  rewire(n, ReplaceDeps{handles({&b}), summing(100)});
  // DIRTY went out when a announced it; the new function then ran.
  EXPECT_EQ(sub.log(), L({"START", "DATA 3", "DIRTY", "DATA 102"}));
  EXPECT_EQ(edge(n).state.pending_count(), 0u);
}

TEST(RewireApplyEdges, APausedNodeOwesTheReEvaluationUntilItsLastLockGoes) {
  auto core = GraphCore::create();
  NodeHandle a = make_state(core, iv(1));
  NodeHandle b = make_state(core, iv(2));
  NodeHandle n = make_node(core, handles({&a, &b}), summing(0));
  auto sub = subscribe_recording(n);
  node_pause(n, "x");
  node_down_in_wave_scope(a, one_message(Message::dirty()));
  rewire(n, ReplaceDeps{handles({&b}), summing(100)});
  EXPECT_EQ(sub.log(), L({"START", "DATA 3", "DIRTY"}));
  node_resume(n, "x");
  EXPECT_EQ(sub.log(), L({"START", "DATA 3", "DIRTY", "DATA 102"}));
}

TEST(RewireApplyEdges, LosingTheLastDepWithoutAnnouncedDirtySettlesQuietly) {
  auto core = GraphCore::create();
  NodeHandle a = make_state(core, iv(1));
  NodeHandle n = make_node(core, handles({&a}), summing(0));
  auto sub = subscribe_recording(n);
  {
    // Dirty, waiting on a, without having told its sinks.
    auto ar = core->borrow_mut();
    EdgeEntry& e = ar->edge_at(n.index());
    NodeStateTestAccess::set_status(e.state, NodeStatus::Dirty);
    e.dep_state[0].pending = 1;
    NodeStateTestAccess::set_pending_count(e.state, 1);
    NodeStateTestAccess::set(e.state, NodeState::Flag::DirtySent, false);
  }
  rewire(n, ReplaceDeps{{}, summing(0)});
  EXPECT_EQ(status_of(n), NodeStatus::Settled);
  EXPECT_EQ(sub.log(), L({"START", "DATA 1"}));
}

TEST(RewireApplyEdges, AFaultingHookLeavesTheChangeInPlaceAndTheFlagClear) {
  auto core = GraphCore::create();
  NodeHandle a = make_state(core, iv(1));
  NodeHandle b = make_state(core, iv(2));
  NodeHandle n = make_node(core, handles({&a}), summing(0));
  auto sub = subscribe_recording(n);
  hook(n, [](const UncountedNode&, const std::vector<NodeHandle>&, const std::vector<NodeHandle>&) { fault("hook failed"); });
  rewire(n, ReplaceDeps{handles({&b}), summing(100)});
  EXPECT_EQ(dep_ids(n), std::vector<NodeId>{b.id()});
  EXPECT_FALSE(dep_mutation_in_flight(n));
  EXPECT_EQ(sub.log().back(), "ERROR hook failed");
  EXPECT_EQ(sink_count(a), 0u);
  EXPECT_EQ(sink_count(b), 1u);
}

TEST(DeferredOpEdges, AnOpQueuedWhileTheQueueRunsRunsInTheSameDrain) {
  auto core = GraphCore::create();
  NodeHandle a = make_state(core, iv(1));
  NodeHandle b = make_state(core, iv(2));
  auto sa = subscribe_recording(a);
  auto sb = subscribe_recording(b);
  sa.sink->on_message = [&](const Message& m) {
    if (m.kind() == MessageKind::Invalidate) batch_defer_emission(b, one_message(Message::invalidate()), std::nullopt);
  };
  run_in_wave_scope(a, [&] { batch_defer_emission(a, one_message(Message::invalidate()), std::nullopt); });
  EXPECT_EQ(sa.log().back(), "INVALIDATE");
  EXPECT_EQ(sb.log().back(), "INVALIDATE");
  EXPECT_TRUE(core->borrow()->deferred_ops().empty());
}

TEST(DeferredOpEdges, AQueuedRewireOfAPausedNodeDoesNotWait) {
  auto core = GraphCore::create();
  NodeHandle a = make_state(core, iv(1));
  NodeHandle n = make_state(core, iv(0));
  auto sub = subscribe_recording(n);
  node_pause(n, "x");
  run_batch([&] {
    node_set(n, iv(1));
    rewire(n, SubscribeDep{summing(0), a.promote_counted()});
    return false;
  });
  EXPECT_EQ(dep_ids(n), std::vector<NodeId>{a.id()});
  EXPECT_TRUE(core->borrow()->deferred_ops().empty());
}

TEST(DeferredOpEdges, RewireNextShapesAgainstTheCurrentDeps) {
  auto core = GraphCore::create();
  NodeHandle a = make_state(core, iv(1));
  NodeHandle stranger = make_state(core, iv(5));
  NodeHandle n = make_node(core, handles({&a}), summing(0));
  auto sub = subscribe_recording(n);
  NodeHandle trigger = make_state(core, iv(0));
  auto st = subscribe_recording(trigger);
  st.sink->on_message = [&](const Message& m) {
    if (m.kind() != MessageKind::Data) return;
    if (int_of(m.value()) == 1) batch_defer_rewire(n, SubscribeDep{summing(100), a.promote_counted()});
    if (int_of(m.value()) == 2) batch_defer_rewire(n, UnsubscribeDep{summing(200), stranger.id()});
  };
  // Subscribing a dep already present still installs the op's function.
  node_set(trigger, iv(1));
  node_set(a, iv(2));
  EXPECT_EQ(sub.log().back(), "DATA 102");
  // Unsubscribing a dep the node lacks does nothing at all.
  node_set(trigger, iv(2));
  node_set(a, iv(3));
  EXPECT_EQ(sub.log().back(), "DATA 103");
  EXPECT_EQ(dep_ids(n), std::vector<NodeId>{a.id()});
}

TEST(DeferredOpEdges, AnOpOfAReleasedNodeIsDroppedSilently) {
  auto core = GraphCore::create();
  NodeHandle a = make_state(core, iv(1));
  NodeHandle gone = make_state(core, iv(0));
  UncountedNode look = gone.uncounted();
  run_in_wave_scope(a, [&] {
    batch_defer_rewire(gone, SubscribeDep{summing(0), a.promote_counted()});
    gone.drop();
  });
  EXPECT_FALSE(is_live(look));
  EXPECT_TRUE(core->borrow()->deferred_ops().empty());
}

TEST(DeferredOpEdges, OtherCoresAreDrainedAfterTheOwnersCore) {
  auto own = GraphCore::create();
  auto other = GraphCore::create();
  NodeHandle x = make_state(other, iv(1));
  NodeHandle y = make_state(own, iv(1));
  std::vector<std::string> order;
  auto sx = subscribe_recording(x);
  auto sy = subscribe_recording(y);
  sx.sink->on_message = [&](const Message& m) { if (m.kind() == MessageKind::Invalidate) order.push_back("other"); };
  sy.sink->on_message = [&](const Message& m) { if (m.kind() == MessageKind::Invalidate) order.push_back("own"); };
  run_in_wave_scope(y, [&] {
    batch_defer_emission(x, one_message(Message::invalidate()), std::nullopt);
    batch_defer_emission(y, one_message(Message::invalidate()), std::nullopt);
  });
  EXPECT_EQ(order, L({"own", "other"}));
}
