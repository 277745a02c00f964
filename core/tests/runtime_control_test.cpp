#include <gtest/gtest.h>

#include "graph/graph_container.hpp"
#include "host_boundary/host_boundary.hpp"
#include "node/wave/batch.hpp"
#include "node/wave/deferred_ops.hpp"
#include "node/topology/rewire.hpp"
#include "node/wave/up.hpp"
#include "node/wave/wave_scope.hpp"
#include "test_support.hpp"

using namespace korvalinth;
using namespace korvalinth::test;

namespace {
NodeSpec pausable(Pausable mode) {
  NodeSpec s;
  s.pausable = mode;
  return s;
}
bool paused(const UncountedNode& n) { return has_pause_locks(n); }
std::size_t queued_ops(const CoreRef& core) { return core->borrow()->deferred_ops().size(); }
MessageList msgs(Message m) {
  MessageList l;
  l.push_back(std::move(m));
  return l;
}
std::vector<NodeId> dep_ids(const UncountedNode& n) {
  std::vector<NodeId> out;
  CheckedLive live = check_live(n);
  for (const UncountedNode& d : live.topology.deps) out.push_back(d.id());
  return out;
}
}  // namespace

TEST(PauseLocks, LockIdsAreASetAndPausingStaysAtTheNode) {
  auto core = GraphCore::create();
  NodeHandle s = make_state(core, iv(1));
  NodeHandle m = make_map(core, s, [](int x) { return x; });
  node_pause(m, "a");
  node_pause(m, "a");
  EXPECT_TRUE(paused(m));
  EXPECT_FALSE(paused(s));
  node_resume(m, "a");
  EXPECT_FALSE(paused(m));
  // A RESUME nobody holds walks upstream and is dropped; list order decides.
  node_up_in_wave_scope(m, [] {
    MessageList l;
    l.push_back(Message::resume("a"));
    l.push_back(Message::pause("a"));
    return l;
  }());
  EXPECT_TRUE(paused(m));
}

TEST(PauseLocks, ModeTrueOwesTheRunOfAPausedComputedNode) {
  auto core = GraphCore::create();
  NodeHandle s = make_state(core, iv(1));
  int runs = 0;
  NodeHandle m = make_map(core, s, [](int x) { return x * 2; }, &runs);
  auto sub = subscribe_recording(m);
  node_pause(m, "a");
  node_pause(m, "b");
  node_set(s, iv(5));
  EXPECT_EQ(runs, 1);
  EXPECT_EQ(sub.log(), L({"START", "DATA 2", "DIRTY"}));
  node_resume(m, "a");
  EXPECT_EQ(runs, 1);  // still paused under "b"
  node_resume(m, "b");
  EXPECT_EQ(runs, 2);
  EXPECT_EQ(sub.log(), L({"START", "DATA 2", "DIRTY", "DATA 10"}));
}

TEST(PauseLocks, ModeTrueDoesNotHoldAStateNodesSet) {
  auto core = GraphCore::create();
  NodeHandle s = make_state(core, iv(1));
  auto sub = subscribe_recording(s);
  node_pause(s, "a");
  node_set(s, iv(2));
  EXPECT_EQ(sub.log(), L({"START", "DATA 1", "DIRTY", "DATA 2"}));
}

TEST(PauseLocks, ModeResumeAllHoldsDeliveriesUntilTheLastLockGoes) {
  auto core = GraphCore::create();
  NodeHandle s = make_state(core, iv(1), pausable(Pausable::ResumeAll));
  auto sub = subscribe_recording(s);
  node_pause(s, "a");
  MessageList l;
  l.push_back(Message::dirty());
  l.push_back(Message::data(iv(2)));
  node_down_in_wave_scope(s, std::move(l));
  node_set(s, iv(3));
  EXPECT_EQ(sub.log(), L({"START", "DATA 1", "DIRTY"}));
  EXPECT_FALSE(node_is_quiescent(s));
  node_resume(s, "a");
  EXPECT_EQ(sub.log(), L({"START", "DATA 1", "DIRTY", "DIRTY", "DATA 2", "DIRTY", "DATA 3"}));
  EXPECT_TRUE(node_is_quiescent(s));
}

TEST(PauseLocks, ModeFalseHoldsNothing) {
  auto core = GraphCore::create();
  NodeHandle s = make_state(core, iv(1));
  NodeHandle m = make_map(core, s, [](int x) { return x + 1; }, nullptr, pausable(Pausable::False));
  auto sub = subscribe_recording(m);
  node_pause(m, "a");
  node_set(s, iv(5));
  EXPECT_EQ(sub.log(), L({"START", "DATA 2", "DIRTY", "DATA 6"}));
}

TEST(PauseLocks, ResumeReachesTheDepHoldingTheLock) {
  auto core = GraphCore::create();
  NodeHandle s = make_state(core, iv(1), pausable(Pausable::ResumeAll));
  NodeHandle m = make_map(core, s, [](int x) { return x; });
  auto sub = subscribe_recording(m);
  node_pause(s, "a");
  node_set(s, iv(4));
  EXPECT_EQ(sub.log(), L({"START", "DATA 1"}));
  node_resume(m, "a");  // m does not hold "a": the RESUME goes up to s
  EXPECT_EQ(sub.log(), L({"START", "DATA 1", "DIRTY", "DATA 4"}));
}

TEST(PauseLocks, FullResumeOfATerminalNodeDropsWhatItHeld) {
  auto core = GraphCore::create();
  NodeHandle s = make_state(core, iv(1), pausable(Pausable::ResumeAll));
  auto sub = subscribe_recording(s);
  node_pause(s, "a");
  node_set(s, iv(2));
  node_down_in_wave_scope(s, msgs(Message::complete()));
  node_resume(s, "a");
  EXPECT_EQ(sub.log(), L({"START", "DATA 1", "COMPLETE"}));
}

TEST(PauseLocks, APlainDataLeavingADepPendingOwesThePausedNodesRun) {
  auto core = GraphCore::create();
  NodeHandle a = make_state(core, iv(1));
  NodeHandle s2 = make_state(core, iv(10));
  NodeHandle b = make_map(core, s2, [](int x) { return x; });
  NodeHandle n = make_node(core, deps_of({&a, &b}), summing());
  auto sub = subscribe_recording(n);
  node_pause(b, "b");
  node_pause(n, "n");
  node_set(s2, iv(20));  // b owes its run and stays pending in n
  node_set(a, iv(2));    // a's DATA leaves b pending: n owes its run
  // b's INVALIDATE settles it without a run check; a's wave value keeps
  // the owed run.
  node_down_in_wave_scope(s2, msgs(Message::invalidate()));
  node_resume(n, "n");
  EXPECT_EQ(sub.log(), L({"START", "DATA 11", "DIRTY", "INVALIDATE", "DATA 2"}));
}

TEST(Pulls, APullTravelsToTheSourceAndReleasesItsHeldValue) {
  auto core = GraphCore::create();
  NodeHandle src = make_state(core);
  set_pull_id(src, std::string("p"));
  NodeHandle m = make_map(core, src, [](int x) { return x * 3; });
  auto sub = subscribe_recording(m);
  node_set(src, iv(2));
  EXPECT_EQ(sub.log(), L({"START"}));
  EXPECT_FALSE(node_is_quiescent(src));
  node_conformance_up_pull(m, "other", nullptr);  // matches nobody
  EXPECT_EQ(sub.log(), L({"START"}));
  node_conformance_up_pull(m, "p", nullptr);
  EXPECT_EQ(sub.log(), L({"START", "DIRTY", "DATA 6"}));
  EXPECT_TRUE(node_is_quiescent(src));
}

TEST(Pulls, TowardDepWalksOneSideOnly) {
  auto core = GraphCore::create();
  NodeHandle a = make_state(core);
  NodeHandle b = make_state(core);
  set_pull_id(a, std::string("p"));
  set_pull_id(b, std::string("p"));
  NodeSpec partial;
  partial.partial = 1;
  NodeHandle n = make_node(core, deps_of({&a, &b}), fn_of([](RunContext& ctx) {
                             int sum = 0;
                             for (auto& in : ctx.inputs) sum += in.current ? int_of(in.current) : 0;
                             emit_data(ctx, iv(sum));
                           }),
                           partial);
  auto sub = subscribe_recording(n);
  node_set(a, iv(1));
  node_set(b, iv(10));
  sub.log().clear();
  node_conformance_up_pull_toward(n, 2, "p", nullptr);  // beyond the deps: nothing
  EXPECT_TRUE(sub.log().empty());
  node_conformance_up_pull_toward(n, 1, "p", nullptr);
  EXPECT_EQ(sub.log(), L({"DIRTY", "DATA 10"}));
  node_conformance_up_pull(n, "p", nullptr);
  EXPECT_EQ(sub.log(), L({"DIRTY", "DATA 10", "DIRTY", "DATA 11"}));
}

TEST(Pulls, ADiamondServesItsSourceOnce) {
  auto core = GraphCore::create();
  int runs = 0;
  NodeHandle src = make_node(core, {}, fn_of([&](RunContext& ctx) {
                               ++runs;
                               emit_data(ctx, iv(runs));
                             }));
  set_pull_id(src, std::string("p"));
  NodeHandle l = make_map(core, src, [](int x) { return x; });
  NodeHandle r = make_map(core, src, [](int x) { return x; });
  NodeSpec partial;
  partial.partial = 1;
  NodeHandle n = make_node(core, deps_of({&l, &r}), fn_of([](RunContext&) {}), partial);
  auto sub = subscribe_recording(n);
  int before = runs;
  node_conformance_up_pull(n, "p", nullptr);
  EXPECT_EQ(runs, before + 1);
}

TEST(UpMessages, DataUpIsRefusedAndInvalidateReachesTheSource) {
  auto core = GraphCore::create();
  NodeHandle s = make_state(core, iv(1));
  NodeHandle m = make_map(core, s, [](int x) { return x; });
  auto ss = subscribe_recording(s);
  node_conformance_up_data_forbidden(m, iv(1));
  EXPECT_EQ(status_of(m), NodeStatus::Errored);
  EXPECT_EQ(fault_text([&] { up(s, msgs(Message::data(iv(1))), std::nullopt); }),
            "ctx.up: DATA is down-only; up carries control tiers only (R-ctx-up)");
  NodeHandle s2 = make_state(core, iv(1));
  NodeHandle m2 = make_map(core, s2, [](int x) { return x; });
  auto sub2 = subscribe_recording(s2);
  node_up_in_wave_scope(m2, msgs(Message::invalidate()));
  EXPECT_EQ(sub2.log(), L({"START", "DATA 1", "INVALIDATE"}));
  EXPECT_FALSE(cache_of(s2));
  node_up_in_wave_scope(m2, msgs(Message::dirty()));
  EXPECT_EQ(status_of(s2), NodeStatus::Sentinel);
}

TEST(DeferredOps, RunInQueueOrderWhenTheWaveEnds) {
  auto core = GraphCore::create();
  NodeHandle a = make_state(core, iv(1));
  NodeHandle b = make_state(core, iv(1));
  std::vector<std::string> order;
  auto sa = subscribe_recording(a);
  auto sb = subscribe_recording(b);
  sa.sink->on_message = [&](const Message& m) { if (m.kind() == MessageKind::Invalidate) order.push_back("a"); };
  sb.sink->on_message = [&](const Message& m) { if (m.kind() == MessageKind::Invalidate) order.push_back("b"); };
  NodeHandle trigger = make_state(core, iv(0));
  auto st = subscribe_recording(trigger);
  st.sink->on_message = [&](const Message& m) {
    if (m.kind() != MessageKind::Data || int_of(m.value()) != 1) return;
    batch_defer_emission(b, msgs(Message::invalidate()), std::nullopt);
    batch_defer_emission(a, msgs(Message::invalidate()), std::nullopt);
    EXPECT_TRUE(order.empty());
  };
  node_set(trigger, iv(1));
  EXPECT_EQ(order, L({"b", "a"}));
  EXPECT_EQ(queued_ops(core), 0u);
}

TEST(DeferredOps, ThePausedNodesOpsWaitForALaterDrain) {
  auto core = GraphCore::create();
  NodeHandle a = make_state(core, iv(1));
  auto sa = subscribe_recording(a);
  node_pause(a, "x");
  NodeHandle trigger = make_state(core, iv(0));
  auto st = subscribe_recording(trigger);
  st.sink->on_message = [&](const Message& m) {
    if (m.kind() == MessageKind::Data && int_of(m.value()) == 1)
      batch_defer_emission(a, msgs(Message::invalidate()), std::nullopt);
  };
  node_set(trigger, iv(1));
  EXPECT_EQ(queued_ops(core), 1u);
  EXPECT_FALSE(node_is_quiescent(a));
  node_resume(a, "x");  // its wave's end drains the queue again
  EXPECT_EQ(queued_ops(core), 0u);
  EXPECT_EQ(sa.log().back(), "INVALIDATE");
}

TEST(DeferredOps, TheHostBoundaryAbortEmptiesTheQueues) {
  auto core = GraphCore::create();
  NodeHandle a = make_state(core, iv(1));
  auto sa = subscribe_recording(a);
  NodeHandle trigger = make_state(core, iv(0));
  auto st = subscribe_recording(trigger);
  st.sink->on_message = [&](const Message& m) {
    if (m.kind() == MessageKind::Data && int_of(m.value()) == 1) {
      batch_defer_emission(a, msgs(Message::invalidate()), std::nullopt);
      host_boundary_abort();
    }
  };
  EXPECT_THROW(node_set(trigger, iv(1)), HostBoundaryAbort);
  EXPECT_EQ(queued_ops(core), 0u);
  EXPECT_EQ(sa.log(), L({"START", "DATA 1"}));
  EXPECT_EQ(host_boundary_depth(), 0u);
  EXPECT_FALSE(wave_scope_installed());
  EXPECT_EQ(pin_count(trigger), 0u);
}

TEST(DeferredOps, ANodeRewiresItsOwnDepsAfterTheWave) {
  auto core = GraphCore::create();
  NodeHandle a = make_state(core, iv(1));
  NodeHandle b = make_state(core, iv(100));
  std::shared_ptr<NodeFn> second = fn_of([](RunContext& ctx) { emit_data(ctx, iv(int_of(ctx.inputs.back().current))); });
  bool asked = false;
  NodeHandle n = make_node(core, deps_of({&a}), fn_of([&](RunContext& ctx) {
                             if (!asked) {
                               asked = true;
                               batch_defer_rewire(ctx.node, SubscribeDep{second, b.promote_counted()});
                               EXPECT_EQ(fault_text([&] { rewire(ctx.node, SubscribeDep{second, b.promote_counted()}); }),
                                         kRewireMidFn);
                             }
                             emit_data(ctx, ctx.inputs[0].current);
                           }));
  auto sub = subscribe_recording(n);
  EXPECT_EQ(dep_ids(n), (std::vector<NodeId>{a.id(), b.id()}));
  EXPECT_EQ(sub.log(), L({"START", "DATA 1", "DIRTY", "DATA 100"}));
}

TEST(DeferredOps, AFailingRewireNextBecomesAnErrorOnItsNode) {
  auto core = GraphCore::create();
  NodeHandle a = make_state(core, iv(1));
  bool asked = false;
  NodeHandle n = make_node(core, deps_of({&a}), fn_of([&](RunContext& ctx) {
                             if (!asked) {
                               asked = true;
                               std::vector<NodeHandle> self;
                               self.push_back(ctx.node.promote_counted());
                               batch_defer_rewire(ctx.node, ReplaceDeps{std::move(self), fn_of([](RunContext&) {})});
                             }
                             emit_data(ctx, ctx.inputs[0].current);
                           }));
  auto sub = subscribe_recording(n);
  EXPECT_EQ(sub.log(), L({"START", "DATA 1", "ERROR " + std::string(kRewireSelf)}));
}

TEST(BatchDeferral, ARewireOfANodeInTheBatchWaitsForItsEnd) {
  auto core = GraphCore::create();
  NodeHandle a = make_state(core, iv(1));
  NodeHandle b = make_state(core, iv(2));
  NodeHandle n = make_state(core, iv(0));
  auto sub = subscribe_recording(n);
  run_batch([&] {
    node_set(n, iv(5));
    rewire(n, SubscribeDep{fn_of([](RunContext&) {}), a.promote_counted()});
    EXPECT_TRUE(dep_ids(n).empty());
    EXPECT_EQ(queued_ops(core), 1u);
    rewire(b, SubscribeDep{fn_of([](RunContext&) {}), a.promote_counted()});  // not in the batch: at once
    EXPECT_EQ(dep_ids(b).size(), 1u);
    return false;
  });
  EXPECT_EQ(dep_ids(n), std::vector<NodeId>{a.id()});
  EXPECT_EQ(sub.log()[3], "DATA 5");
}

TEST(BatchDeferral, ARolledBackBatchDropsItsQueuedOps) {
  auto core = GraphCore::create();
  NodeHandle a = make_state(core, iv(1));
  auto sa = subscribe_recording(a);
  run_batch([&] {
    batch_defer_emission(a, msgs(Message::invalidate()), std::nullopt);
    return true;
  });
  EXPECT_EQ(queued_ops(core), 0u);
  EXPECT_EQ(sa.log(), L({"START", "DATA 1"}));
}

TEST(Rewire, AddingRemovingAndReplacingDeps) {
  auto core = GraphCore::create();
  NodeHandle a = make_state(core, iv(1));
  NodeHandle b = make_state(core, iv(2));
  NodeHandle c = make_state(core, iv(30));
  auto sum_fn = summing();
  NodeHandle n = make_node(core, deps_of({&a, &b}), sum_fn);
  std::vector<std::pair<std::size_t, std::size_t>> hook_calls;
  set_topology_hook(n, std::make_shared<const std::function<void(const UncountedNode&, const std::vector<NodeHandle>&, const std::vector<NodeHandle>&)>>(
                           [&](const UncountedNode&, const std::vector<NodeHandle>& o, const std::vector<NodeHandle>& nw) {
                             hook_calls.emplace_back(o.size(), nw.size());
                           }));
  auto sub = subscribe_recording(n);
  EXPECT_EQ(sub.log(), L({"START", "DATA 3"}));
  std::vector<NodeHandle> next;
  next.push_back(a.promote_counted());
  next.push_back(c.promote_counted());
  rewire(n, ReplaceDeps{std::move(next), sum_fn});
  EXPECT_EQ(dep_ids(n), (std::vector<NodeId>{a.id(), c.id()}));
  EXPECT_TRUE(core->borrow()->aux_at(b.index()).sinks.empty());  // b's dep sink left
  EXPECT_EQ(hook_calls.size(), 1u);
  node_set(c, iv(40));
  EXPECT_EQ(sub.log().back(), "DATA 41");
  // Removing a dep, then adding one already present: the list stays, only the function changes.
  rewire(n, UnsubscribeDep{sum_fn, a.id()});
  EXPECT_EQ(dep_ids(n), std::vector<NodeId>{c.id()});
  rewire(n, SubscribeDep{sum_fn, c.promote_counted()});
  EXPECT_EQ(hook_calls.size(), 2u);
  // Duplicates collapse to their first occurrence.
  std::vector<NodeHandle> dup;
  dup.push_back(a.promote_counted());
  dup.push_back(b.promote_counted());
  dup.push_back(a.promote_counted());
  rewire(n, ReplaceDeps{std::move(dup), sum_fn});
  EXPECT_EQ(dep_ids(n), (std::vector<NodeId>{a.id(), b.id()}));
}

TEST(Rewire, ReorderingKeepsSubscriptionsAndMovesPositions) {
  auto core = GraphCore::create();
  NodeHandle a = make_state(core, iv(1));
  NodeHandle b = make_state(core, iv(2));
  std::vector<int> seen;
  auto fn = fn_of([&](RunContext& ctx) {
    seen.push_back(int_of(ctx.inputs[0].current));
    emit_data(ctx, iv(0));
  });
  NodeHandle n = make_node(core, deps_of({&a, &b}), fn);
  auto sub = subscribe_recording(n);
  std::vector<NodeHandle> swapped;
  swapped.push_back(b.promote_counted());
  swapped.push_back(a.promote_counted());
  rewire(n, ReplaceDeps{std::move(swapped), fn});
  EXPECT_EQ(core->borrow()->aux_at(a.index()).sinks.size(), 1u);
  node_set(b, iv(7));
  EXPECT_EQ(seen.back(), 7);  // b now sits at position 0
}

TEST(Rewire, RefusalsNameTheirRule) {
  auto core = GraphCore::create();
  auto other = GraphCore::create();
  NodeHandle a = make_state(core, iv(1));
  NodeHandle n = make_map(core, a, [](int x) { return x; });
  NodeHandle down_stream = make_map(core, n, [](int x) { return x; });
  NodeHandle foreign = make_state(other);
  auto fn = fn_of([](RunContext&) {});
  EXPECT_EQ(fault_text([&] { rewire(n, SubscribeDep{fn, foreign.promote_counted()}); }), kRewireForeignDep);
  EXPECT_EQ(fault_text([&] { rewire(n, SubscribeDep{fn, n.promote_counted()}); }), kRewireSelf);
  EXPECT_EQ(fault_text([&] { rewire(n, SubscribeDep{fn, down_stream.promote_counted()}); }), kRewireCycle);
  NodeHandle done = make_state(core, iv(1));
  node_down_in_wave_scope(done, msgs(Message::complete()));
  EXPECT_EQ(fault_text([&] { rewire(n, SubscribeDep{fn, done.promote_counted()}); }), kRewireTerminalDep);
  EXPECT_EQ(fault_text([&] { rewire(done, SubscribeDep{fn, a.promote_counted()}); }), kRewireTerminal);
  EXPECT_EQ(dep_ids(n), std::vector<NodeId>{a.id()});
}

TEST(Rewire, ARewireFromInsideAnApplyIsReentrant) {
  auto core = GraphCore::create();
  NodeHandle a = make_state(core, iv(1));
  NodeHandle b = make_state(core, iv(2));
  NodeHandle n = make_map(core, a, [](int x) { return x; });
  std::string inner;
  set_topology_hook(n, std::make_shared<const std::function<void(const UncountedNode&, const std::vector<NodeHandle>&, const std::vector<NodeHandle>&)>>(
                           [&](const UncountedNode&, const std::vector<NodeHandle>&, const std::vector<NodeHandle>&) {
                             inner = fault_text([&] { rewire(n, UnsubscribeDep{fn_of([](RunContext&) {}), a.id()}); });
                           }));
  rewire(n, SubscribeDep{fn_of([](RunContext&) {}), b.promote_counted()});
  EXPECT_EQ(inner, kRewireReentrant);
  EXPECT_FALSE(dep_mutation_in_flight(n));
}

TEST(Rewire, ADirtyNodeLosingItsOnlyPendingDepResolves) {
  auto core = GraphCore::create();
  NodeHandle a = make_state(core, iv(1));
  NodeHandle n = make_map(core, a, [](int x) { return x; });
  auto sub = subscribe_recording(n);
  auto sa = subscribe_recording(a);
  sa.sink->on_message = [&](const Message& m) {
    if (m.kind() == MessageKind::Dirty) rewire(n, ReplaceDeps{{}, fn_of([](RunContext&) {})});
  };
  node_set(a, iv(2));
  EXPECT_EQ(sub.log(), L({"START", "DATA 1", "DIRTY", "RESOLVED"}));
  EXPECT_TRUE(dep_ids(n).empty());
}

TEST(EntryPoints, StaleHandlesFaultBeforeAnyWave) {
  auto core = GraphCore::create();
  NodeHandle s = make_state(core, iv(1));
  UncountedNode stale = s.uncounted();
  s.drop();
  EXPECT_EQ(fault_text([&] { node_set(stale, iv(1)); }), kStaleSlot);
  EXPECT_EQ(fault_text([&] { node_pause(stale, "a"); }), kStaleSlot);
  EXPECT_EQ(fault_text([&] { async_ctx_emit(stale, iv(1)); }), kStaleSlot);
  EXPECT_EQ(host_boundary_depth(), 0u);
}

TEST(EntryPoints, EachOperationDeliversItsList) {
  auto core = GraphCore::create();
  NodeHandle s = make_state(core, iv(0));
  auto sub = subscribe_recording(s);
  node_send(s, iv(1));
  node_conformance_c22_down_data(s, iv(2));
  async_ctx_emit(s, iv(3));
  EXPECT_EQ(sub.log(), L({"START", "DATA 0", "DIRTY", "DATA 1", "DIRTY", "DATA 2", "DIRTY", "DATA 3"}));
  async_ctx_resolve(s, iv(4));
  EXPECT_EQ(sub.log().back(), "COMPLETE");
  NodeHandle e = make_state(core, iv(0));
  auto se = subscribe_recording(e);
  async_ctx_error(e, "failed");
  EXPECT_EQ(se.log().back(), "ERROR failed");

  auto g = GraphContainer::create(std::nullopt);
  NodeHandle st = g->register_node(make_state(g->core(), iv(0)), "state", "x");
  auto sx = subscribe_recording(st);
  graph_set_state_by_id(*g->find("x"), iv(8));
  EXPECT_EQ(sx.log().back(), "DATA 8");
}

TEST(EntryPoints, ImmediateSubscribeAndUnsubscribeDep) {
  auto core = GraphCore::create();
  NodeHandle a = make_state(core, iv(1));
  NodeHandle b = make_state(core, iv(2));
  NodeHandle n = make_map(core, a, [](int x) { return x; });
  auto fn = fn_of([](RunContext& ctx) { emit_data(ctx, ctx.inputs.back().current); });
  auto sub = subscribe_recording(n);
  {
    HostBoundaryScope boundary;
    node_conformance_immediate_subscribe_dep(n, b.promote_counted(), fn);
  }
  EXPECT_EQ(dep_ids(n), (std::vector<NodeId>{a.id(), b.id()}));
  EXPECT_EQ(sub.log().back(), "DATA 2");
  {
    HostBoundaryScope boundary;
    node_conformance_immediate_unsubscribe_dep(n, a.promote_counted(), fn);
  }
  EXPECT_EQ(dep_ids(n), std::vector<NodeId>{b.id()});
}

TEST(Rewire, LongListsAreMatchedByIdentity) {
  auto core = GraphCore::create();
  std::vector<NodeHandle> sources;
  for (int i = 0; i < 10; ++i) sources.push_back(make_state(core, iv(i)));
  std::vector<int> firsts;
  auto fn = fn_of([&](RunContext& ctx) {
    firsts.push_back(int_of(ctx.inputs[0].current));
    emit_data(ctx, iv(0));
  });
  std::vector<NodeHandle> deps;
  for (auto& s : sources) deps.push_back(s.promote_counted());
  NodeHandle n = make_node(core, std::move(deps), fn);
  auto sub = subscribe_recording(n);
  std::vector<NodeHandle> reversed;
  for (auto it = sources.rbegin(); it != sources.rend(); ++it) reversed.push_back(it->promote_counted());
  rewire(n, ReplaceDeps{std::move(reversed), fn});
  for (auto& s : sources) EXPECT_EQ(core->borrow()->aux_at(s.index()).sinks.size(), 1u);
  node_set(sources[9], iv(99));
  EXPECT_EQ(firsts.back(), 99);
}

TEST(BatchDeferral, AnAbortThroughTheCallableLeavesNoNodeBatchQueued) {
  auto core = GraphCore::create();
  NodeHandle a = make_state(core, iv(0));
  NodeHandle b = make_state(core, iv(0));
  auto sb = subscribe_recording(b);
  EXPECT_THROW(run_batch([&] {
                 node_set(a, iv(1));
                 node_set(b, iv(1));
                 host_boundary_abort();
                 return false;
               }),
               HostBoundaryAbort);
  EXPECT_FALSE(batch_is_active());
  for (const NodeHandle* n : {&a, &b}) {
    EXPECT_FALSE(core->borrow()->edge_at(n->index()).state.batch_queued());
    EXPECT_EQ(pin_count(*n), 0u);
  }
  // Nothing deferred went out; the node takes later sets as before.
  node_set(b, iv(2));
  EXPECT_EQ(int_of(core->borrow()->edge_at(b.index()).cache), 2);
}

TEST(BatchDeferral, AnAbortedFlushLeavesNoNodeBatchQueued) {
  auto core = GraphCore::create();
  NodeHandle a = make_state(core, iv(0));
  NodeHandle b = make_state(core, iv(0));
  auto sa = subscribe_recording(a);
  sa.sink->on_message = [](const Message& m) {
    if (m.kind() == MessageKind::Data && int_of(m.value()) == 1) host_boundary_abort();
  };
  EXPECT_THROW(run_batch([&] {
                 node_set(a, iv(1));
                 node_set(b, iv(1));
                 return false;
               }),
               HostBoundaryAbort);
  EXPECT_FALSE(batch_is_active());
  EXPECT_FALSE(core->borrow()->edge_at(b.index()).state.batch_queued());
  EXPECT_EQ(pin_count(b), 0u);
}
