#include <gtest/gtest.h>

#include "node/arena/noop_sink.hpp"
#include "node/topology/subscribe.hpp"
#include "node/wave/batch.hpp"
#include "node/wave/delivery.hpp"
#include "node/wave/run_wave.hpp"
#include "node/wave/wave_scope.hpp"
#include "test_support.hpp"

using namespace korvalinth;
using namespace korvalinth::test;

TEST(RuntimeChain, ValuesPropagateDownAChain) {
  auto core = GraphCore::create();
  NodeHandle s = make_state(core, iv(1));
  int runs_a = 0, runs_b = 0;
  NodeHandle a = make_map(core, s, [](int x) { return x + 1; }, &runs_a);
  NodeHandle b = make_map(core, a, [](int x) { return x * 10; }, &runs_b);
  auto sub = subscribe_recording(b);
  EXPECT_EQ(sub.log(), L({"START", "DATA 20"}));
  EXPECT_EQ(runs_a, 1);
  EXPECT_EQ(runs_b, 1);
  node_set(s, iv(5));
  EXPECT_EQ(sub.log(), L({"START", "DATA 20", "DIRTY", "DATA 60"}));
  EXPECT_EQ(runs_b, 2);
  EXPECT_EQ(status_of(b), NodeStatus::Settled);
  // Nothing stays pinned or queued after the wave.
  EXPECT_EQ(pin_count(a), 0u);
  EXPECT_EQ(delivery_depth(), 0u);
  EXPECT_FALSE(wave_scope_installed());
  EXPECT_TRUE(node_is_quiescent(b));
}

TEST(RuntimeChain, DiamondRunsTheBottomNodeOncePerWave) {
  auto core = GraphCore::create();
  NodeHandle top = make_state(core, iv(1));
  NodeHandle left = make_map(core, top, [](int x) { return x + 1; });
  NodeHandle right = make_map(core, top, [](int x) { return x * 2; });
  int runs = 0;
  NodeHandle bottom = make_node(core, deps_of({&left, &right}), fn_of([&](RunContext& ctx) {
                                  ++runs;
                                  emit_data(ctx, iv(int_of(ctx.inputs[0].current) + int_of(ctx.inputs[1].current)));
                                }));
  auto sub = subscribe_recording(bottom);
  EXPECT_EQ(runs, 1);
  node_set(top, iv(10));
  EXPECT_EQ(runs, 2);
  EXPECT_EQ(sub.log(), L({"START", "DATA 4", "DIRTY", "DATA 31"}));
}

// A wide fan-out drains its queue in the order the checks were queued,
// whether the drain takes few items or many, and the pushes the runs make
// meanwhile (the bottom node's run check) are drained too, wave after wave.
TEST(RuntimeChain, AFanOutRunsEachNodeOnceInQueueOrderAtEveryWidth) {
  for (int width : {2, 4, 5, 9}) {
    SCOPED_TRACE(width);
    auto core = GraphCore::create();
    NodeHandle top = make_state(core, iv(0));
    std::vector<int> order;
    std::vector<NodeHandle> middle;
    for (int i = 0; i < width; ++i)
      middle.push_back(make_node(core, deps_of({&top}), fn_of([&order, i](RunContext& ctx) {
                                   order.push_back(i);
                                   emit_data(ctx, iv(int_of(ctx.inputs[0].current) + i));
                                 })));
    std::vector<NodeHandle> deps;
    for (const NodeHandle& m : middle) deps.push_back(m.promote_counted());
    NodeHandle bottom = make_node(core, std::move(deps), fn_of([&order, width](RunContext& ctx) {
                                    order.push_back(-1);
                                    int total = 0;
                                    for (int i = 0; i < width; ++i) total += int_of(ctx.inputs[i].current);
                                    emit_data(ctx, iv(total));
                                  }));
    auto sub = subscribe_recording(bottom);
    std::vector<int> one_wave;
    for (int i = 0; i < width; ++i) one_wave.push_back(i);
    one_wave.push_back(-1);
    const int offsets = width * (width - 1) / 2;
    for (int x : {10, 20}) {
      order.clear();
      node_set(top, iv(x));
      EXPECT_EQ(order, one_wave);
      EXPECT_EQ(sub.log().back(), "DATA " + std::to_string(width * x + offsets));
    }
    EXPECT_EQ(delivery_depth(), 0u);
    EXPECT_TRUE(node_is_quiescent(bottom));
  }
}

// A wide fan-out's DIRTY reaches a collector kept active by a do-nothing
// subscription: the first middle node's DIRTY touches it, so the wave pins
// it from then on, and the other middle nodes' DIRTY marks it under their
// run's borrow. Every middle node's run finds the collector pinned.
TEST(RuntimeChain, AWideFanOutsCollectorIsPinnedFromItsFirstDirty) {
  constexpr int width = 5;
  auto core = GraphCore::create();
  NodeHandle top = make_state(core, iv(0));
  NodeHandle collector;
  std::vector<std::uint64_t> pins_seen;
  std::vector<NodeHandle> middle;
  for (int i = 0; i < width; ++i)
    middle.push_back(make_node(core, deps_of({&top}), fn_of([&](RunContext& ctx) {
                                 pins_seen.push_back(pin_count(collector));
                                 emit_data(ctx, ctx.inputs[0].current);
                               })));
  std::vector<NodeHandle> deps;
  for (const NodeHandle& m : middle) deps.push_back(m.promote_counted());
  int collector_runs = 0;
  collector = make_node(core, std::move(deps), fn_of([&](RunContext&) { ++collector_runs; }));
  UnsubscribeFn keep = node_subscribe(collector, std::make_shared<NoopSink>());
  const int runs_before = collector_runs;
  pins_seen.clear();
  node_set(top, iv(1));
  EXPECT_EQ(pins_seen, std::vector<std::uint64_t>(width, 1));
  EXPECT_EQ(collector_runs, runs_before + 1);
  EXPECT_EQ(pin_count(collector), 0u);
  EXPECT_TRUE(node_is_quiescent(collector));
  keep.call();
}

// Each level's two nodes depend on both of the level above, so the second
// node's DATA queues the next level while the drain of its own level still
// runs: drains nest once per level.
TEST(RuntimeChain, ALadderOfFanOutsRunsEachNodeOnceInOrderAtEveryNestingDepth) {
  for (int levels : {1, 2, 8, 9, 24}) {
    SCOPED_TRACE(levels);
    auto core = GraphCore::create();
    NodeHandle top = make_state(core, iv(0));
    std::vector<int> order;
    std::vector<NodeHandle> nodes;
    nodes.reserve(static_cast<std::size_t>(2 * levels));
    for (int level = 0; level < levels; ++level) {
      const std::size_t above = nodes.size() - (level == 0 ? 0 : 2);
      const std::size_t dep_count = level == 0 ? 1 : 2;
      for (int side = 0; side < 2; ++side) {
        std::vector<NodeHandle> deps = level == 0 ? deps_of({&top}) : deps_of({&nodes[above], &nodes[above + 1]});
        nodes.push_back(make_node(core, std::move(deps), fn_of([&order, id = 2 * level + side, dep_count](RunContext& ctx) {
                                    order.push_back(id);
                                    int total = 0;
                                    for (std::size_t i = 0; i < dep_count; ++i) total += int_of(ctx.inputs[i].current);
                                    emit_data(ctx, iv(total));
                                  })));
      }
    }
    auto left = subscribe_recording(nodes[nodes.size() - 2]);
    auto right = subscribe_recording(nodes.back());
    std::vector<int> one_wave;
    for (int id = 0; id < 2 * levels; ++id) one_wave.push_back(id);
    for (int x : {1, 3}) {
      order.clear();
      node_set(top, iv(x));
      EXPECT_EQ(order, one_wave);
      const std::string expected = "DATA " + std::to_string(x << (levels - 1));
      EXPECT_EQ(left.log().back(), expected);
      EXPECT_EQ(right.log().back(), expected);
    }
    EXPECT_EQ(delivery_depth(), 0u);
  }
}

TEST(RuntimeChain, ANodeThatEmitsNothingSettlesWithResolved) {
  auto core = GraphCore::create();
  NodeHandle s = make_state(core, iv(1));
  NodeHandle quiet = make_node(core, deps_of({&s}), fn_of([](RunContext& ctx) {
                                 if (int_of(ctx.inputs[0].current) == 1) emit_data(ctx, iv(1));
                               }));
  auto sub = subscribe_recording(quiet);
  node_set(s, iv(2));
  EXPECT_EQ(sub.log(), L({"START", "DATA 1", "DIRTY", "RESOLVED"}));
  EXPECT_EQ(status_of(quiet), NodeStatus::Resolved);
}

// A run that emits nothing ends after its RESOLVED went out, and a sink of
// that RESOLVED may let go of the last handle of the running node or of an
// untouched node of the same core. The run still ends cleanly: the wave's
// pin keeps the running node until the wave ends, and the other node goes
// at once.
TEST(RuntimeChain, AQuietRunEndsCleanlyWhenItsResolvedDropsANodeOfItsCore) {
  for (const bool drops_running : {true, false}) {
    SCOPED_TRACE(drops_running ? "the running node" : "an untouched neighbour");
    std::vector<std::string> log;
    auto core = GraphCore::create();
    NodeHandle s = make_state(core, iv(1));
    NodeHandle quiet = make_node(core, deps_of({&s}), fn_of([&](RunContext& ctx) {
                                   const int in = int_of(ctx.inputs[0].current);
                                   log.push_back("run " + std::to_string(in));
                                   if (in == 1) emit_data(ctx, iv(1));
                                   // Registered by the run: a later run would drop it uncalled.
                                   if (in == 2) add_release_callback(ctx.node, [&] { log.push_back("quiet released"); });
                                 }));
    NodeHandle neighbour = make_state(core, iv(9));
    add_release_callback(neighbour, [&] { log.push_back("neighbour released"); });
    const UncountedNode quiet_look = quiet.uncounted();
    const UncountedNode dropped_look = drops_running ? quiet.uncounted() : neighbour.uncounted();
    auto sub = subscribe_recording(quiet);
    sub.sink->on_message = [&](const Message& m) {
      log.push_back(std::string(m.kind_name()));
      if (m.kind() != MessageKind::Resolved) return;
      if (drops_running) {
        sub.unsubscribe.call();
        quiet.drop();
      } else {
        neighbour.drop();
      }
      log.push_back(is_live(dropped_look) ? "dropped node live" : "dropped node gone");
    };
    log.clear();
    node_set(s, iv(2));
    log.push_back("wave over");
    if (drops_running) {
      // Its last sink gone, it ran its release callbacks; its slot outlived
      // the drop and went with the wave.
      EXPECT_EQ(log, L({"DIRTY", "run 2", "RESOLVED", "quiet released", "dropped node live", "wave over"}));
      EXPECT_FALSE(is_live(quiet_look));
    } else {
      EXPECT_EQ(log, L({"DIRTY", "run 2", "RESOLVED", "neighbour released", "dropped node gone", "wave over"}));
      EXPECT_TRUE(is_live(quiet_look));
      EXPECT_EQ(status_of(quiet), NodeStatus::Resolved);
      EXPECT_EQ(pin_count(quiet), 0u);
    }
    EXPECT_EQ(sub.log(), L({"START", "DATA 1", "DIRTY", "RESOLVED"}));
  }
}

TEST(RuntimeChain, PartitionFlagSuppressesTheAutomaticResolved) {
  auto core = GraphCore::create();
  NodeHandle s = make_state(core, iv(1));
  NodeSpec spec;
  spec.partition = 1;
  spec.partial = 1;
  NodeHandle quiet = make_node(core, deps_of({&s}), fn_of([](RunContext&) {}), spec);
  auto sub = subscribe_recording(quiet);
  node_set(s, iv(2));
  EXPECT_EQ(sub.log(), L({"START", "DIRTY"}));
}

TEST(RuntimeChain, FirstRunWaitsForEveryDepUnlessPartial) {
  auto core = GraphCore::create();
  NodeHandle a = make_state(core, iv(1));
  NodeHandle b = make_state(core);
  int runs = 0, partial_runs = 0;
  NodeHandle both = make_node(core, deps_of({&a, &b}), fn_of([&](RunContext&) { ++runs; }));
  NodeSpec spec;
  spec.partial = 1;
  NodeHandle eager = make_node(core, deps_of({&a, &b}), fn_of([&](RunContext&) { ++partial_runs; }), spec);
  auto s1 = subscribe_recording(both);
  auto s2 = subscribe_recording(eager);
  EXPECT_EQ(runs, 0);
  EXPECT_EQ(partial_runs, 1);
  node_set(b, iv(2));
  EXPECT_EQ(runs, 1);
  EXPECT_EQ(partial_runs, 2);
}

TEST(RuntimeChain, StateNodeWithoutFunctionSettlesFromItsFirstDep) {
  auto core = GraphCore::create();
  NodeHandle s = make_state(core, iv(1));
  NodeHandle mirror = construct_node(core, deps_of({&s}), std::nullopt, Dispatcher::thread_default(), nullptr, {});
  auto sub = subscribe_recording(mirror);
  node_set(s, iv(4));
  EXPECT_EQ(sub.log(), L({"START", "DIRTY", "DATA 1", "DIRTY", "DATA 4"}));
}

TEST(RuntimeTerminal, CompletionAndErrorFollowTheNodeOptions) {
  auto core = GraphCore::create();
  NodeHandle s = make_state(core, iv(1));
  NodeHandle follows = make_map(core, s, [](int x) { return x; });
  NodeSpec keep;
  keep.complete_when_deps_complete = 0;
  keep.error_when_deps_error = 0;
  NodeHandle stays = make_map(core, s, [](int x) { return x; }, nullptr, keep);
  auto a = subscribe_recording(follows);
  auto b = subscribe_recording(stays);
  node_down_error(s, "boom");
  EXPECT_EQ(a.log(), L({"START", "DATA 1", "ERROR boom"}));
  EXPECT_EQ(status_of(follows), NodeStatus::Errored);
  EXPECT_EQ(b.log(), L({"START", "DATA 1"}));
  EXPECT_EQ(status_of(stays), NodeStatus::Settled);

  NodeHandle s2 = make_state(core, iv(1));
  NodeHandle done = make_map(core, s2, [](int x) { return x; });
  auto c = subscribe_recording(done);
  node_down_data_complete(s2, iv(3));
  // The dep completes within the same delivery, so the queued run finds the node terminal.
  EXPECT_EQ(c.log(), L({"START", "DATA 1", "DIRTY", "COMPLETE"}));
  EXPECT_EQ(fault_text([&] { node_subscribe(done, std::make_shared<RecordingSink>()); }), kTerminalSubscribe);
}

TEST(RuntimeTerminal, TeardownFromADepCompletesAndTearsDown) {
  auto core = GraphCore::create();
  NodeHandle s = make_state(core, iv(1));
  NodeHandle m = make_map(core, s, [](int x) { return x; });
  auto sub = subscribe_recording(m);
  node_down_in_wave_scope(s, [] {
    MessageList l;
    l.push_back(Message::teardown());
    return l;
  }());
  EXPECT_EQ(sub.log(), L({"START", "DATA 1", "COMPLETE", "TEARDOWN"}));
}

TEST(RuntimeFaults, ReentrantRunIsRefusedAndBecomesAnError) {
  auto core = GraphCore::create();
  NodeHandle s = make_state(core, iv(1));
  NodeHandle loop = make_node(core, deps_of({&s}), fn_of([](RunContext& ctx) { run_wave(ctx.node); }));
  auto sub = subscribe_recording(loop);
  EXPECT_EQ(sub.log(), L({"START", "ERROR " + std::string(kReentrantRun)}));
  EXPECT_EQ(status_of(loop), NodeStatus::Errored);
  auto ar = core->borrow();
  EXPECT_FALSE(ar->edge_at(loop.index()).state.running());
}

TEST(RuntimeFaults, AFaultInAWaveGoesToTheNodeWhoseFunctionRanLast) {
  auto core = GraphCore::create();
  NodeHandle s = make_state(core, iv(1));
  NodeHandle ok = make_map(core, s, [](int x) { return x; });
  NodeHandle bad = make_node(core, deps_of({&ok}), fn_of([](RunContext& ctx) {
                               if (int_of(ctx.inputs[0].current) == 2) fault("bad value");
                               emit_data(ctx, ctx.inputs[0].current);
                             }));
  NodeHandle untexted = make_node(core, deps_of({&s}), fn_of([](RunContext& ctx) {
                                    if (int_of(ctx.inputs[0].current) == 2) throw Fault::untexted();
                                    emit_data(ctx, ctx.inputs[0].current);
                                  }));
  auto a = subscribe_recording(bad);
  auto src = subscribe_recording(s);
  node_set(s, iv(2));  // returns normally
  EXPECT_EQ(a.log(), L({"START", "DATA 1", "DIRTY", "ERROR bad value"}));
  EXPECT_EQ(src.log(), L({"START", "DATA 1", "DIRTY", "DATA 2"}));
  auto b = subscribe_recording(untexted);
  node_set(s, iv(2));
  EXPECT_EQ(b.log().back(), "ERROR node fn panicked");
}

TEST(RuntimeFaults, AFaultBeforeAnyFunctionRanGoesToTheOperationsNode) {
  auto core = GraphCore::create();
  NodeHandle s = make_state(core, iv(1));
  auto sub = subscribe_recording(s);
  sub.sink->on_message = [](const Message& m) {
    if (m.kind() == MessageKind::Data && int_of(m.value()) == 2) fault("sink failed");
  };
  node_set(s, iv(2));
  EXPECT_EQ(sub.log(), L({"START", "DATA 1", "DIRTY", "DATA 2", "ERROR sink failed"}));
  EXPECT_EQ(status_of(s), NodeStatus::Errored);
}

TEST(RuntimeFaults, MixingDataAndResolvedIsRefused) {
  auto core = GraphCore::create();
  NodeHandle s = make_state(core, iv(1));
  auto sub = subscribe_recording(s);
  node_conformance_c12_down_data_resolved(s, iv(2));
  EXPECT_EQ(sub.log(), L({"START", "DATA 1", "ERROR " + std::string(kMixedDataResolved)}));
  EXPECT_EQ(fault_text([&] {
              MessageList l;
              l.push_back(Message::data(iv(1)));
              l.push_back(Message::resolved());
              down(make_state(core), std::move(l));
            }),
            kMixedDataResolved);
}

TEST(RuntimeDown, MessageSequencesFollowTheTiers) {
  auto core = GraphCore::create();
  NodeHandle s = make_state(core, iv(1));
  int invalidated = 0;
  {
    auto ar = core->borrow_mut();
    ar->aux_at(s.index()).edit_rare().invalidate_callbacks.push_back(
        make_invalidate_callback([&] { ++invalidated; }));
  }
  auto sub = subscribe_recording(s);
  MessageList l;
  l.push_back(Message::data(iv(2)));
  l.push_back(Message::dirty());
  down(s, std::move(l));
  EXPECT_EQ(sub.log(), L({"START", "DATA 1", "DIRTY", "DATA 2"}));
  node_down_data_data_invalidate(s, iv(3), iv(4));
  EXPECT_EQ(sub.log(), L({"START", "DATA 1", "DIRTY", "DATA 2", "DIRTY", "DATA 3", "DATA 4", "INVALIDATE"}));
  EXPECT_EQ(invalidated, 1);
  EXPECT_EQ(status_of(s), NodeStatus::Sentinel);
  EXPECT_FALSE(cache_of(s));
  MessageList paused;
  paused.push_back(Message::pause("a"));
  paused.push_back(Message::pull("p"));
  down(s, std::move(paused));
  EXPECT_EQ(sub.log().size(), 8u);
  MessageList end;
  end.push_back(Message::complete());
  end.push_back(Message::error(make_text_error("late")));
  down(s, std::move(end));
  EXPECT_EQ(sub.log().back(), "COMPLETE");
  EXPECT_EQ(status_of(s), NodeStatus::Completed);
  node_set(s, iv(9));  // dropped whole
  EXPECT_EQ(sub.log().back(), "COMPLETE");
}

TEST(RuntimeDown, ResolvedWithoutDataLeavesSentinel) {
  auto core = GraphCore::create();
  NodeHandle s = make_state(core);
  auto sub = subscribe_recording(s);
  MessageList l;
  l.push_back(Message::resolved());
  down(s, std::move(l));
  EXPECT_EQ(sub.log(), L({"START", "DIRTY", "RESOLVED"}));
  EXPECT_EQ(status_of(s), NodeStatus::Sentinel);
}

TEST(RuntimeDown, ContentVersionedNodesRefuseNonCanonicalData) {
  auto core = GraphCore::create();
  NodeSpec spec;
  spec.versioning.choice = VersioningForm::Choice::Level1;
  NodeHandle s = make_state(core, nullptr, spec);
  auto sub = subscribe_recording(s);
  node_set(s, make_value<double>(0.5));
  ASSERT_TRUE(version_metadata(s));
  EXPECT_EQ(version_metadata(s)->counter, 1u);
  std::string before_cid = version_metadata(s)->cid;
  MessageList l;
  l.push_back(Message::data(make_value<std::int64_t>(std::int64_t{1} << 53)));
  EXPECT_EQ(fault_text([&] { down(s, std::move(l)); }),
            "node versioning: DATA is not strict canonical JSON compatible (D112): strictJsonCodec: JSON integer at "
            "$ is outside the safe integer range");
  EXPECT_EQ(version_metadata(s)->cid, before_cid);
  EXPECT_EQ(sub.log(), L({"START", "DIRTY", "DATA -1"}));
}

TEST(RuntimeDown, VersionsAdvanceOncePerData) {
  auto core = GraphCore::create();
  NodeHandle counted = make_state(core, iv(0));
  NodeSpec off;
  off.versioning.choice = VersioningForm::Choice::Disabled;
  NodeHandle unversioned = make_state(core, iv(0), off);
  EXPECT_EQ(version_metadata(counted)->counter, 0u);
  EXPECT_FALSE(version_metadata(unversioned));
  node_down_data_data_invalidate(counted, iv(1), iv(2));
  EXPECT_EQ(version_metadata(counted)->counter, 2u);
}

TEST(RuntimeSubscription, InitialMessagesFollowTheNodeState) {
  auto core = GraphCore::create();
  NodeHandle with = make_state(core, iv(3));
  NodeHandle without = make_state(core);
  NodeHandle pulled = make_state(core, iv(3));
  set_pull_id(pulled, std::string("p"));
  EXPECT_EQ(subscribe_recording(with).log(), L({"START", "DATA 3"}));
  EXPECT_EQ(subscribe_recording(without).log(), L({"START"}));
  EXPECT_EQ(subscribe_recording(pulled).log(), L({"START"}));
}

TEST(RuntimeSubscription, SinksMaySubscribeAndUnsubscribeWhileBeingCalled) {
  auto core = GraphCore::create();
  NodeHandle s = make_state(core, iv(1));
  auto first = std::make_shared<RecordingSink>();
  auto late = std::make_shared<RecordingSink>();
  UnsubscribeFn first_off = node_subscribe(s, first);
  std::optional<UnsubscribeFn> late_off;
  first->on_message = [&](const Message& m) {
    if (m.kind() == MessageKind::Dirty) {
      late_off = node_subscribe(s, late);
      first_off.call();
    }
  };
  node_set(s, iv(2));
  // The first sink still saw DIRTY (it was removed while DIRTY was delivered)
  // but not DATA; the late one saw its initial message, then DATA 2.
  EXPECT_EQ(first->log, L({"START", "DATA 1", "DIRTY"}));
  // The node still held 1 (has data wins over dirty for the initial message).
  EXPECT_EQ(late->log, L({"START", "DATA 1", "DATA 2"}));
}

TEST(RuntimeSubscription, ActivationAndDeactivationOrder) {
  auto core = GraphCore::create();
  NodeHandle s = make_state(core, iv(1));
  std::vector<std::string> order;
  int runs = 0;
  NodeHandle source = make_node(core, {}, fn_of([&](RunContext& ctx) {
                                  ++runs;
                                  add_release_callback(ctx.node, [&] { order.push_back("source-run-callback"); });
                                  emit_data(ctx, iv(7));
                                }));
  NodeHandle sum = make_node(core, deps_of({&s, &source}), fn_of([&](RunContext& ctx) {
                               add_release_callback(ctx.node, [&] { order.push_back("sum-released"); });
                               emit_data(ctx, iv(int_of(ctx.inputs[0].current) + int_of(ctx.inputs[1].current)));
                             }));
  // Registered before the first run: dropped uncalled when that run starts.
  add_release_callback(sum, [&] { order.push_back("dropped"); });
  {
    auto ar = core->borrow();
    EXPECT_EQ(ar->aux_at(sum.index()).next_sink_id, 0u);
  }
  auto sub = subscribe_recording(sum);
  EXPECT_EQ(sub.log(), L({"START", "DATA 8"}));
  EXPECT_EQ(runs, 1);
  auto second = subscribe_recording(sum);
  EXPECT_EQ(second.log(), L({"START", "DATA 8"}));
  EXPECT_EQ(runs, 1);
  second.unsubscribe.call();
  sub.unsubscribe.call();
  // The source deactivated (its last sink was sum's dep sink) before sum's callbacks ran.
  EXPECT_EQ(order, L({"source-run-callback", "sum-released"}));
  EXPECT_EQ(status_of(sum), NodeStatus::Sentinel);
  EXPECT_EQ(status_of(s), NodeStatus::Settled);
  auto again = subscribe_recording(sum);
  EXPECT_EQ(runs, 2);
  EXPECT_EQ(again.log(), L({"START", "DATA 8"}));
  auto ar = core->borrow();
  EXPECT_EQ(ar->aux_at(sum.index()).sinks.back().id, 2u);
}

TEST(RuntimeSubscription, UnsubscribeIsANoOpForUnknownIdsAndFreedNodes) {
  auto core = GraphCore::create();
  NodeHandle s = make_state(core, iv(1));
  auto sub = subscribe_recording(s);
  unsubscribe_sink(s, 99);
  UncountedNode look = s.uncounted();
  sub.unsubscribe.call();
  sub.unsubscribe.call();
  s.drop();
  EXPECT_FALSE(is_live(look));
  unsubscribe_sink(look, 0);
}

TEST(RuntimeSubscription, AFaultingSubscriberStillGetsAnActionThatRemovesIt) {
  auto core = GraphCore::create();
  NodeHandle s = make_state(core, iv(1));
  auto sink = std::make_shared<RecordingSink>();
  sink->on_message = [](const Message& m) {
    if (m.kind() == MessageKind::Start) fault("no start");
  };
  UnsubscribeFn off = node_subscribe(s, sink);
  EXPECT_FALSE(off.empty());
  EXPECT_EQ(status_of(s), NodeStatus::Errored);
  off.call();
  EXPECT_TRUE(core->borrow()->aux_at(s.index()).sinks.empty());
}

TEST(RuntimeBatch, TwoSetsInOneBatchSendOneDirtyAndTheLastValue) {
  auto core = GraphCore::create();
  NodeHandle s = make_state(core, iv(0));
  auto sub = subscribe_recording(s);
  run_batch([&] {
    node_set(s, iv(1));
    node_set(s, iv(2));
    EXPECT_TRUE(batch_is_active());
    EXPECT_EQ(sub.log(), L({"START", "DATA 0", "DIRTY"}));
    return false;
  });
  EXPECT_FALSE(batch_is_active());
  EXPECT_EQ(sub.log(), L({"START", "DATA 0", "DIRTY", "DATA 2"}));
  EXPECT_TRUE(node_is_quiescent(s));
}

TEST(RuntimeBatch, FailureSettlesEveryDeferringNodeWithResolved) {
  auto core = GraphCore::create();
  NodeHandle a = make_state(core, iv(0));
  NodeHandle b = make_state(core, iv(0));
  auto sa = subscribe_recording(a);
  auto sb = subscribe_recording(b);
  run_batch([&] {
    node_set(b, iv(1));
    node_set(a, iv(1));
    run_batch([] { return true; });  // a nested failure rolls the outer batch back
    return false;
  });
  EXPECT_EQ(sa.log(), L({"START", "DATA 0", "DIRTY", "RESOLVED"}));
  EXPECT_EQ(sb.log(), L({"START", "DATA 0", "DIRTY", "RESOLVED"}));
  EXPECT_EQ(*value_cast<int>(cache_of(a)), 0);
  EXPECT_TRUE(node_is_quiescent(a));
}

TEST(RuntimeBatch, ListsAreDeliveredInFirstDeferralOrderAndKeepReleasedNodes) {
  auto core = GraphCore::create();
  NodeHandle a = make_state(core, iv(0));
  NodeHandle b = make_state(core, iv(0));
  std::vector<std::string> order;
  auto sa = subscribe_recording(a);
  auto sb = subscribe_recording(b);
  sa.sink->on_message = [&](const Message& m) { if (m.kind() == MessageKind::Data) order.push_back("a"); };
  sb.sink->on_message = [&](const Message& m) { if (m.kind() == MessageKind::Data) order.push_back("b"); };
  UncountedNode look_b = b.uncounted();
  run_batch([&] {
    node_set(b, iv(1));
    node_set(a, iv(1));
    node_set(b, iv(2));
    sb.unsubscribe = UnsubscribeFn();
    b.drop();  // the batch's pin keeps it until the end
    EXPECT_TRUE(is_live(look_b));
    return false;
  });
  EXPECT_EQ(order, L({"b", "a"}));
  EXPECT_EQ(sb.log().back(), "DATA 2");
  EXPECT_FALSE(is_live(look_b));
}

TEST(RuntimeSubscription, ADeactivatedNodeIgnoresWhatItsDepStillDeliversToIt) {
  auto core = GraphCore::create();
  NodeHandle s = make_state(core, iv(1));
  auto first = subscribe_recording(s);  // ahead of m's dep sink in s's sink list
  int runs = 0;
  NodeHandle m = make_map(core, s, [](int x) { return x; }, &runs);
  auto sub = subscribe_recording(m);
  first.sink->on_message = [&](const Message& msg) {
    if (msg.kind() == MessageKind::Dirty) sub.unsubscribe.call();
  };
  node_set(s, iv(2));
  // s's DIRTY still reached the dep sink through the copied sink list, after
  // the deactivation detached it: the inactive node took none of it.
  EXPECT_EQ(runs, 1);
  EXPECT_EQ(status_of(m), NodeStatus::Sentinel);
  EXPECT_EQ(core->borrow()->edge_at(m.index()).state.pending_count(), 0u);
  EXPECT_TRUE(node_is_quiescent(m));
  auto again = subscribe_recording(m);
  EXPECT_EQ(again.log(), L({"START", "DATA 2"}));
}
