// When values, sinks and pull records that the runtime lets go are
// destroyed, relative to the deliveries and callbacks around them: their
// destructors may run host code that watches or re-enters the graph.

#include <gtest/gtest.h>

#include "node/wave/up.hpp"
#include "node/wave/wave_scope.hpp"
#include "logging_sinks.hpp"

using namespace korvalinth;
using namespace korvalinth::test;

namespace {

// Logs each message, naming tracked values; logs "~sink" when destroyed.
struct LoggingSink final : Sink {
  std::vector<std::string>* log;
  explicit LoggingSink(std::vector<std::string>* l) : log(l) {}
  ~LoggingSink() override { log->push_back("~sink"); }
  void call(const Message& m) override {
    std::string s(m.kind_name());
    if (m.kind() == MessageKind::Data) s += " " + name_of(m.value());
    log->push_back(s);
  }
};

}  // namespace

TEST(DropOrder, DownReleasesEachMessageRightAfterDeliveringIt) {
  std::vector<std::string> log;  // outlives the graph, whose drops log into it
  auto core = GraphCore::create();
  NodeHandle s = make_state(core, iv(0));
  UnsubscribeFn off = node_subscribe(s, std::make_shared<LoggingSink>(&log));
  log.clear();
  MessageList l;
  l.push_back(Message::data(tracked(log, "a")));
  l.push_back(Message::data(tracked(log, "b")));
  down_in_wave_scope(s, std::move(l));
  // Once DATA a went out its message is gone; the cache then held a's last
  // reference, which DATA b replaced before the sinks saw b.
  EXPECT_EQ(log, L({"DIRTY", "DATA a", "~a", "DATA b"}));
  off.call();
}

TEST(DropOrder, AnUnsubscribedSinkGoesBeforeTheDeactivationItCauses) {
  std::vector<std::string> log;  // outlives the graph, whose drops log into it
  auto core = GraphCore::create();
  NodeHandle s = make_state(core, iv(1));
  UnsubscribeFn off = node_subscribe(s, std::make_shared<LoggingSink>(&log));
  add_release_callback(s, [&] { log.push_back("released"); });
  log.clear();
  off.call();
  EXPECT_EQ(log, L({"~sink", "released"}));
}

TEST(DropOrder, DeactivationDropsWhatItTakesBeforeDetachingDepsAndRunningCallbacks) {
  std::vector<std::string> log;  // outlives the graph, whose drops log into it
  auto core = GraphCore::create();
  NodeHandle s = make_state(core, iv(1));
  NodeHandle m = make_map(core, s, [](int x) { return x; });
  auto sub = subscribe_recording(m);
  set_ctx_state(s, tracked(log, "s-state"));
  add_release_callback(s, [&] { log.push_back("s released"); });
  set_ctx_state(m, tracked(log, "m-state"));
  add_release_callback(m, [&] { log.push_back("m released"); });
  sub.unsubscribe.call();
  // m lets go of its own state first, then detaches from s (which
  // deactivates in turn), then runs its own callbacks.
  EXPECT_EQ(log, L({"~m-state", "~s-state", "s released", "m released"}));
}

TEST(DropOrder, AReplacedPendingPullGoesBeforeTheNodeIsServed) {
  std::vector<std::string> log;  // outlives the graph, whose drops log into it
  auto core = GraphCore::create();
  NodeHandle src = make_node(core, {}, fn_of([&](RunContext& ctx) {
                               log.push_back("run " + (ctx.pull ? name_of(ctx.pull->params) : std::string("-")));
                             }));
  set_pull_id(src, std::string("p"));
  auto sub = subscribe_recording(src);
  node_pause(src, "x");
  node_conformance_up_pull(src, "p", tracked(log, "first"));  // paused: waits as the pending pull
  {
    auto a = core->borrow_mut();
    a->aux_at(src.index()).edit_rare().pause_locks.clear();  // unpaused without a resume
  }
  log.clear();
  node_conformance_up_pull(src, "p", tracked(log, "second"));
  EXPECT_EQ(log, L({"~first", "run second", "~second"}));
}

TEST(DropOrder, AnInvalidatedDepsValuesGoBeforeTheNodeForwardsTheInvalidation) {
  std::vector<std::string> log;  // outlives the graph, whose drops log into it
  auto core = GraphCore::create();
  NodeHandle s = make_state(core, tracked(log, "s-value"));
  NodeHandle n = make_node(core, deps_of({&s}), fn_of([&](RunContext& ctx) { emit_data(ctx, tracked(log, "n-value")); }));
  UnsubscribeFn off = node_subscribe(n, std::make_shared<LoggingSink>(&log));
  {
    auto a = core->borrow_mut();
    a->aux_at(n.index()).edit_rare().invalidate_callbacks.push_back(
        make_invalidate_callback([&] { log.push_back("n invalidated"); }));
  }
  log.clear();
  node_up_in_wave_scope(n, one_message(Message::invalidate()));
  // n's dep sink let go of s's value as it recorded the INVALIDATE; n then
  // dropped its own value before running its callbacks and telling its sinks.
  EXPECT_EQ(log, L({"~s-value", "~n-value", "n invalidated", "INVALIDATE"}));
  off.call();
}

// A sink changing the list while it is called: the delivery still reaches
// every sink listed when it began and none added since; the sinks taken off
// go once the delivery that still reaches them ends.
TEST(DropOrder, SinksTakenOffDuringADeliveryGoWhenItEndsAndOnlyThoseListedAtItsStartReceiveIt) {
  std::vector<std::string> log;  // outlives the graph, whose drops log into it
  auto core = GraphCore::create();
  NodeHandle s = make_state(core, iv(0));
  auto a = std::make_shared<NamedSink>(&log, "a");
  NamedSink* a_raw = a.get();
  UnsubscribeFn off_a = node_subscribe(s, std::move(a));
  UnsubscribeFn off_b = node_subscribe(s, std::make_shared<NamedSink>(&log, "b"));
  UnsubscribeFn off_c = node_subscribe(s, std::make_shared<NamedSink>(&log, "c"));
  UnsubscribeFn off_d;
  a_raw->on_message = [&](const Message& m) {
    if (m.kind() != MessageKind::Data || !off_d.empty()) return;
    off_a.call();
    off_c.call();
    off_d = node_subscribe(s, std::make_shared<NamedSink>(&log, "d"));
  };
  log.clear();
  down_in_wave_scope(s, one_message(Message::data(iv(1))));
  EXPECT_EQ(log, L({"a DIRTY", "b DIRTY", "c DIRTY", "a DATA 1", "d START", "d DATA 1", "b DATA 1", "c DATA 1",
                    "~a", "~c"}));
  log.clear();
  down_in_wave_scope(s, one_message(Message::data(iv(2))));
  EXPECT_EQ(log, L({"b DIRTY", "d DIRTY", "b DATA 2", "d DATA 2"}));
  off_b.call();
  off_d.call();
}

// A dep's value that a run replaces goes when the run's inputs go; when the
// run faults, the dep keeps it until the wave's end replaces it. m runs
// inside p's emit, so a clean m ends first; a wave's end goes in touch order.
TEST(DropOrder, AReplacedDepValueGoesWithTheRunUnlessTheRunFaults) {
  struct Case {
    bool faults;
    std::vector<std::string> drops;
  };
  const Case cases[] = {
      {false, {"~p-a", "~a"}},  // m's inputs go, then p's
      {true, {"~a", "~p-a"}},   // the wave's end: p's dep, then m's
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.faults ? "faulting run" : "clean run");
    std::vector<std::string> log;  // outlives the graph, whose drops log into it
    auto core = GraphCore::create();
    NodeHandle s = make_state(core, tracked(log, "a"));
    NodeHandle p = make_node(core, deps_of({&s}), fn_of([&log](RunContext& ctx) {
                               emit_data(ctx, tracked(log, "p-" + name_of(ctx.inputs[0].current)));
                             }));
    const bool faults = c.faults;
    NodeHandle m = make_node(core, deps_of({&p}), fn_of([faults](RunContext& ctx) {
                               if (faults && name_of(ctx.inputs[0].current) == "p-b") fault("m failed");
                               emit_data(ctx, iv(1));
                             }));
    auto sub = subscribe_recording(m);
    log.clear();
    node_set(s, tracked(log, "b"));
    std::vector<std::string> drops;
    for (const std::string& e : log)
      if (e == "~a" || e == "~p-a") drops.push_back(e);
    EXPECT_EQ(drops, c.drops);
  }
}
