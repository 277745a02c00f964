// Edge cases of delivery: down's message lists, subscription and its initial
// messages, the dep sinks' rule book and the inputs run_wave hands over.

#include <gtest/gtest.h>

#include "node/wave/dep_sink.hpp"
#include "node/wave/pending.hpp"
#include "node/wave/run_wave.hpp"
#include "node/wave/up.hpp"
#include "node/wave/wave_scope.hpp"
#include "test_support.hpp"

using namespace korvalinth;
using namespace korvalinth::test;

namespace {

MessageList list_of(std::initializer_list<MessageKind> kinds) {
  MessageList l;
  for (MessageKind k : kinds) {
    switch (k) {
      case MessageKind::Dirty: l.push_back(Message::dirty()); break;
      case MessageKind::Resolved: l.push_back(Message::resolved()); break;
      case MessageKind::Invalidate: l.push_back(Message::invalidate()); break;
      case MessageKind::Complete: l.push_back(Message::complete()); break;
      case MessageKind::Teardown: l.push_back(Message::teardown()); break;
      default: ADD_FAILURE() << "kind with a payload";
    }
  }
  return l;
}

EdgeEntry& edge(const UncountedNode& n) { return n.core_ref().unguarded().edge_at(n.index()); }
AuxEntry& aux(const UncountedNode& n) { return n.core_ref().unguarded().aux_at(n.index()); }

void on_invalidate(const UncountedNode& n, std::function<void()> f) {
  aux(n).edit_rare().invalidate_callbacks.push_back(make_invalidate_callback(std::move(f)));
}

// An error value that notes its destruction.
struct NotedError final : ErrorValue {
  bool* gone;
  explicit NotedError(bool* g) : gone(g) {}
  ~NotedError() override { *gone = true; }
  std::string display() const override { return "noted"; }
  std::string debug() const override { return "noted"; }
};

// The dep sink that node n attached to dep d.
SharedSink dep_sink_of(const UncountedNode& d) { return aux(d).sinks.back().sink; }

}  // namespace

TEST(DownEdges, AnEmptyListStillDrainsThePendingQueueAndClearsTheFlags) {
  auto core = GraphCore::create();
  NodeHandle s = make_state(core, iv(1));
  int runs = 0;
  NodeHandle m = make_map(core, s, [](int x) { return x; }, &runs);
  auto sub = subscribe_recording(m);
  push_pending(m, PendingKind::RunCheck);
  NodeStateTestAccess::set(edge(s).state, NodeState::Flag::DirtySent, true);
  NodeStateTestAccess::set(edge(s).state, NodeState::Flag::Emitted, true);
  down(s, MessageList{});
  EXPECT_EQ(runs, 2);  // the queued check ran when the outermost down closed
  EXPECT_FALSE(edge(s).state.dirty_sent());
  EXPECT_FALSE(edge(s).state.emitted());
  EXPECT_EQ(status_of(s), NodeStatus::Settled);
}

TEST(DownEdges, EverySinkSeesDirtyThenDataAndTheFlagsEndClear) {
  auto core = GraphCore::create();
  NodeHandle s = make_state(core, iv(0));
  auto a = subscribe_recording(s);
  auto b = subscribe_recording(s);
  node_set(s, iv(1));
  EXPECT_EQ(a.log(), L({"START", "DATA 0", "DIRTY", "DATA 1"}));
  EXPECT_EQ(b.log(), a.log());
  EXPECT_EQ(status_of(s), NodeStatus::Settled);
  EXPECT_TRUE(edge(s).state.has_data());
  EXPECT_FALSE(edge(s).state.dirty_sent());
  EXPECT_FALSE(edge(s).state.emitted());
}

TEST(DownEdges, RepeatedInvalidatesCountOnceAndNeedData) {
  auto core = GraphCore::create();
  NodeHandle with = make_state(core, iv(1));
  NodeHandle without = make_state(core);
  int calls_with = 0, calls_without = 0;
  on_invalidate(with, [&] { ++calls_with; });
  on_invalidate(without, [&] { ++calls_without; });
  auto sw = subscribe_recording(with);
  auto so = subscribe_recording(without);
  node_down_in_wave_scope(with, list_of({MessageKind::Invalidate, MessageKind::Invalidate}));
  node_down_in_wave_scope(without, list_of({MessageKind::Invalidate, MessageKind::Invalidate}));
  EXPECT_EQ(calls_with, 1);
  EXPECT_EQ(sw.log(), L({"START", "DATA 1", "INVALIDATE"}));
  EXPECT_EQ(status_of(with), NodeStatus::Sentinel);
  EXPECT_EQ(calls_without, 0);
  EXPECT_EQ(so.log(), L({"START"}));
  EXPECT_EQ(status_of(without), NodeStatus::Sentinel);
}

TEST(DownEdges, TerminalKindsSendNoDirtyAndEndTheStream) {
  auto core = GraphCore::create();
  NodeHandle s = make_state(core, iv(1));
  auto sub = subscribe_recording(s);
  bool error_gone = false;
  MessageList l;
  l.push_back(Message::complete());
  l.push_back(Message::error(std::make_shared<NotedError>(&error_gone)));
  node_down_in_wave_scope(s, std::move(l));
  EXPECT_EQ(sub.log(), L({"START", "DATA 1", "COMPLETE"}));
  EXPECT_TRUE(error_gone);  // the swallowed ERROR's value went with it
  EXPECT_EQ(status_of(s), NodeStatus::Completed);
  EXPECT_EQ(*value_cast<int>(cache_of(s)), 1);
  node_set(s, iv(2));
  EXPECT_EQ(sub.log(), L({"START", "DATA 1", "COMPLETE"}));
  // TEARDOWN sorted after a COMPLETE of the same list still goes out.
  NodeHandle t = make_state(core, iv(1));
  auto st = subscribe_recording(t);
  node_down_in_wave_scope(t, list_of({MessageKind::Teardown, MessageKind::Complete}));
  EXPECT_EQ(st.log(), L({"START", "DATA 1", "COMPLETE", "TEARDOWN"}));
}

// The rarely used aux state is made only by what needs it: a node that is
// subscribed, runs, completes and is let go has none; a pause lock makes it.
TEST(DownEdges, OnlyWhatNeedsRareAuxStateMakesIt) {
  auto core = GraphCore::create();
  NodeHandle s = make_state(core, iv(1));
  NodeHandle m = make_map(core, s, [](int x) { return x + 1; });
  auto sub = subscribe_recording(m);
  node_set(s, iv(2));
  node_down_in_wave_scope(s, list_of({MessageKind::Complete}));
  EXPECT_EQ(sub.log(), L({"START", "DATA 2", "DIRTY", "DATA 3", "COMPLETE"}));
  sub.unsubscribe.call();
  EXPECT_EQ(aux(s).rare_if_made(), nullptr);
  EXPECT_EQ(aux(m).rare_if_made(), nullptr);
  NodeHandle p = make_state(core, iv(1));
  auto sp = subscribe_recording(p);
  node_pause(p, "lock");
  EXPECT_NE(aux(p).rare_if_made(), nullptr);
}

TEST(DownEdges, TeardownReachesEverySinkAndChangesNoState) {
  auto core = GraphCore::create();
  NodeHandle s = make_state(core, iv(4));
  auto a = subscribe_recording(s);
  auto b = subscribe_recording(s);
  node_down_in_wave_scope(s, list_of({MessageKind::Teardown}));
  EXPECT_EQ(a.log(), L({"START", "DATA 4", "TEARDOWN"}));
  EXPECT_EQ(b.log(), a.log());
  EXPECT_EQ(status_of(s), NodeStatus::Settled);
  EXPECT_EQ(*value_cast<int>(cache_of(s)), 4);
}

TEST(DownEdges, AHeldMixOfDataAndResolvedFaultsOnlyWhenReplayed) {
  auto core = GraphCore::create();
  NodeSpec spec;
  spec.pausable = Pausable::ResumeAll;
  NodeHandle s = make_state(core, iv(0), spec);
  auto sub = subscribe_recording(s);
  node_pause(s, "a");
  node_conformance_c12_down_data_resolved(s, iv(1));
  EXPECT_EQ(sub.log(), L({"START", "DATA 0"}));
  EXPECT_EQ(status_of(s), NodeStatus::Settled);
  EXPECT_EQ(aux(s).rare().held.size(), 1u);
  node_resume(s, "a");
  EXPECT_EQ(sub.log(), L({"START", "DATA 0", "ERROR " + std::string(kMixedDataResolved)}));
  EXPECT_EQ(status_of(s), NodeStatus::Errored);
}

TEST(SubscribeEdges, ADirtyNodeWithoutDataGreetsWithDirty) {
  auto core = GraphCore::create();
  NodeHandle s = make_state(core);
  node_down_in_wave_scope(s, list_of({MessageKind::Dirty}));
  EXPECT_EQ(status_of(s), NodeStatus::Dirty);
  EXPECT_EQ(subscribe_recording(s).log(), L({"START", "DIRTY"}));
}

TEST(SubscribeEdges, ATerminalNodeIsSubscribedAtTheCoreWithoutReplay) {
  auto core = GraphCore::create();
  NodeHandle s = make_state(core, iv(3));
  node_down_in_wave_scope(s, list_of({MessageKind::Complete}));
  auto sink = std::make_shared<RecordingSink>();
  SinkRegistration registration;
  UnsubscribeFn off = subscribe_sink(s, sink, 1, registration);
  EXPECT_EQ(sink->log, L({"START", "DATA 3"}));
  EXPECT_EQ(registration, std::optional<std::uint64_t>(0));
  EXPECT_EQ(aux(s).sinks.back().observer, 1);  // stored as given
  off.call();
}

TEST(SubscribeEdges, AnActionDroppedUncalledLeavesTheSinkUntilTheSlotGoes) {
  auto core = GraphCore::create();
  NodeHandle s = make_state(core, iv(0));
  auto sink = std::make_shared<RecordingSink>();
  std::weak_ptr<RecordingSink> weak = sink;
  { UnsubscribeFn dropped = node_subscribe(s, std::move(sink)); }
  node_set(s, iv(1));
  ASSERT_FALSE(weak.expired());
  EXPECT_EQ(weak.lock()->log, L({"START", "DATA 0", "DIRTY", "DATA 1"}));
  s.drop();
  EXPECT_TRUE(weak.expired());
}

TEST(SubscribeEdges, CtxStateSurvivesDeactivationOnlyWhenPersisted) {
  auto core = GraphCore::create();
  NodeHandle s = make_state(core, iv(1));
  NodeHandle kept = make_map(core, s, [](int x) { return x; });
  NodeHandle lost = make_map(core, s, [](int x) { return x; });
  auto a = subscribe_recording(kept);
  auto b = subscribe_recording(lost);
  set_ctx_state(kept, iv(7));
  set_ctx_state(lost, iv(8));
  aux(kept).edit_rare().ctx_state_persist = 1;
  a.unsubscribe.call();
  b.unsubscribe.call();
  EXPECT_EQ(int_of(ctx_state_of(kept)), 7);
  EXPECT_FALSE(ctx_state_of(lost));
  EXPECT_EQ(aux(kept).rare().ctx_state_persist, 1);
}

TEST(DepSinkEdges, DirtyThenResolvedFromTheOnlyDepRerunsANodeThatRan) {
  auto core = GraphCore::create();
  NodeHandle s = make_state(core, iv(1));
  int runs = 0;
  NodeHandle m = make_map(core, s, [](int x) { return x + 1; }, &runs);
  auto sub = subscribe_recording(m);
  node_down_in_wave_scope(s, list_of({MessageKind::Dirty, MessageKind::Resolved}));
  EXPECT_EQ(runs, 2);
  EXPECT_EQ(sub.log(), L({"START", "DATA 2", "DIRTY", "DATA 2"}));
  EXPECT_EQ(edge(m).state.pending_count(), 0u);
}

TEST(DepSinkEdges, ATerminalNodeOnlyPassesTeardownOn) {
  auto core = GraphCore::create();
  NodeHandle s = make_state(core, iv(1));
  NodeHandle m = make_map(core, s, [](int x) { return x; });
  auto sub = subscribe_recording(m);
  node_down_in_wave_scope(m, list_of({MessageKind::Complete}));
  node_down_in_wave_scope(s, list_of({MessageKind::Teardown}));
  EXPECT_EQ(sub.log(), L({"START", "DATA 1", "COMPLETE", "TEARDOWN"}));
  EXPECT_EQ(status_of(m), NodeStatus::Completed);
}

TEST(DepSinkEdges, AnInvalidatedDepInvalidatesTheNodeHoldingData) {
  auto core = GraphCore::create();
  NodeHandle s = make_state(core, iv(1));
  NodeHandle m = make_map(core, s, [](int x) { return x; });
  auto sub = subscribe_recording(m);
  int invalidated = 0;
  on_invalidate(m, [&] { ++invalidated; });
  node_down_in_wave_scope(s, list_of({MessageKind::Invalidate}));
  EXPECT_EQ(invalidated, 1);
  EXPECT_EQ(sub.log(), L({"START", "DATA 1", "INVALIDATE"}));
  EXPECT_FALSE(cache_of(m));
  EXPECT_EQ(status_of(m), NodeStatus::Sentinel);
  EXPECT_EQ(edge(m).dep_state[0].has_value, 0);
}

TEST(DepSinkEdges, AnErrorNotPassedOnCompletesTheNodeOnceEveryDepEnded) {
  auto core = GraphCore::create();
  NodeHandle a = make_state(core, iv(1));
  NodeHandle b = make_state(core, iv(2));
  NodeSpec spec;
  spec.error_when_deps_error = 0;
  NodeHandle n = make_node(core, deps_of({&a, &b}), fn_of([](RunContext& ctx) { emit_data(ctx, iv(0)); }), spec);
  auto sub = subscribe_recording(n);
  node_down_error(a, "a failed");
  EXPECT_EQ(sub.log(), L({"START", "DATA 0"}));  // b has not ended yet
  node_down_in_wave_scope(b, list_of({MessageKind::Complete}));
  EXPECT_EQ(sub.log(), L({"START", "DATA 0", "COMPLETE"}));
  EXPECT_EQ(status_of(n), NodeStatus::Completed);
}

TEST(DepSinkEdges, StartAndUpstreamKindsFromADepChangeNothing) {
  auto core = GraphCore::create();
  NodeHandle s = make_state(core, iv(1));
  NodeHandle m = make_map(core, s, [](int x) { return x; });
  auto sub = subscribe_recording(m);
  SharedSink dep_sink = dep_sink_of(s);
  dep_sink->call(start_message());
  dep_sink->call(Message::pause("a"));
  dep_sink->call(Message::resume("a"));
  dep_sink->call(Message::pull("p"));
  EXPECT_EQ(sub.log(), L({"START", "DATA 1"}));
  EXPECT_EQ(edge(m).state.pending_count(), 0u);
  EXPECT_EQ(status_of(m), NodeStatus::Settled);
  EXPECT_FALSE(has_pause_locks(m));
  EXPECT_FALSE(aux(m).rare().pending_pull);
}

TEST(RunWaveEdges, AFreedFunctionIsSkippedButTheRunStillSettles) {
  auto core = GraphCore::create();
  auto dispatcher = Dispatcher::thread_default();
  NodeHandle s = make_state(core, iv(1));
  int runs = 0;
  NodeHandle m = make_map(core, s, [](int x) { return x; }, &runs);
  auto sub = subscribe_recording(m);
  dispatcher->free_slot(*core->borrow()->call_at(m.index()).key);
  node_set(s, iv(5));
  EXPECT_EQ(runs, 1);
  EXPECT_EQ(sub.log(), L({"START", "DATA 1", "DIRTY", "RESOLVED"}));
  EXPECT_EQ(int_of(edge(m).dep_state[0].latest), 5);
  EXPECT_FALSE(edge(m).dep_state[0].wave_value);

  // A source whose function is gone still counts as having run.
  NodeHandle source = make_node(core, {}, fn_of([&](RunContext&) { ++runs; }));
  dispatcher->free_slot(*core->borrow()->call_at(source.index()).key);
  auto ss = subscribe_recording(source);
  EXPECT_EQ(runs, 1);
  EXPECT_EQ(core->borrow()->run_at(source.index()), 1);
}

TEST(RunWaveEdges, InputsGiveTheWavesNewestValueAndTheLatestFromBefore) {
  auto core = GraphCore::create();
  NodeHandle a = make_state(core, iv(1));
  NodeHandle b = make_state(core, iv(10));
  NodeHandle c = make_state(core);
  struct Seen {
    int current, latest;
    std::size_t lists;
  };
  std::vector<std::vector<Seen>> runs;
  NodeSpec partial;
  partial.partial = 1;
  NodeHandle n = make_node(core, deps_of({&a, &b, &c}), fn_of([&](RunContext& ctx) {
                             std::vector<Seen> seen;
                             for (const DepInput& in : ctx.inputs)
                               seen.push_back({int_of(in.current), int_of(in.latest()), in.deliveries().size()});
                             runs.push_back(seen);
                             emit_data(ctx, iv(0));
                           }),
                           partial);
  auto sub = subscribe_recording(n);
  const std::size_t before = runs.size();  // partial: it ran as its deps connected
  sub.log().clear();
  node_down_in_wave_scope(a, [] {
    MessageList l;
    l.push_back(Message::data(iv(2)));
    l.push_back(Message::data(iv(3)));
    return l;
  }());
  ASSERT_EQ(runs.size(), before + 1);
  // a delivered [2, 3] in one down; b nothing this wave; c never.
  const std::vector<Seen>& last = runs.back();
  EXPECT_EQ(last[0].current, 3);
  EXPECT_EQ(last[0].latest, 1);
  EXPECT_EQ(last[0].lists, 1u);
  EXPECT_EQ(last[1].current, 10);
  EXPECT_EQ(last[1].latest, 10);
  EXPECT_EQ(last[1].lists, 0u);
  EXPECT_EQ(last[2].current, -999);
  EXPECT_EQ(last[2].latest, -999);
  EXPECT_EQ(int_of(edge(n).dep_state[0].latest), 3);
  EXPECT_FALSE(edge(n).dep_state[0].wave_value);
  // It emitted: no automatic RESOLVED, and its flags end clear.
  EXPECT_EQ(sub.log(), L({"DIRTY", "DATA 0"}));
  EXPECT_FALSE(edge(n).state.dirty_sent());
  EXPECT_FALSE(edge(n).state.emitted());
}

TEST(RunWaveEdges, CallbacksRegisteredDuringARunGoUncalledWhenTheNextStarts) {
  auto core = GraphCore::create();
  NodeHandle s = make_state(core, iv(1));
  std::vector<std::string> called;
  int runs = 0;
  NodeHandle m = make_node(core, deps_of({&s}), fn_of([&](RunContext& ctx) {
                             if (++runs == 1) {
                               add_release_callback(ctx.node, [&] { called.push_back("release"); });
                               on_invalidate(ctx.node, [&] { called.push_back("invalidate"); });
                             }
                             emit_data(ctx, ctx.inputs[0].current);
                           }));
  auto sub = subscribe_recording(m);
  node_set(s, iv(2));
  node_down_in_wave_scope(m, list_of({MessageKind::Invalidate}));
  sub.unsubscribe.call();
  EXPECT_EQ(runs, 2);
  EXPECT_TRUE(called.empty());
}
