// Calls back into the runtime from sinks and node functions, and waves that
// fault: delivery order per node, the up-front refusal of a down that would
// feed a running node, and what a faulted wave leaves behind.

#include <gtest/gtest.h>

#include "node/wave/run_wave.hpp"
#include "test_support.hpp"

using namespace korvalinth;
using namespace korvalinth::test;

namespace {

bool is_data(const Message& m, int x) { return m.kind() == MessageKind::Data && int_of(m.value()) == x; }

std::vector<std::string> data_of(const std::vector<std::string>& log) {
  std::vector<std::string> out;
  for (const std::string& entry : log)
    if (entry.starts_with("DATA")) out.push_back(entry);
  return out;
}

std::size_t sink_count(const UncountedNode& n) { return n.core_ref().borrow()->aux_at(n.index()).sinks.size(); }

}  // namespace

TEST(DeliveryOrder, DownsMadeWhileANodeDeliversFollowInTheOrderTheyWereMade) {
  auto core = GraphCore::create();
  NodeHandle s = make_state(core, iv(0));
  auto corrector = subscribe_recording(s);
  corrector.sink->on_message = [&](const Message& m) {
    if (is_data(m, 1)) {
      node_set(s, iv(2));
      node_set(s, iv(3));
    }
    if (is_data(m, 2)) node_set(s, iv(4));  // made after 3: goes behind it
  };
  auto later = subscribe_recording(s);
  node_set(s, iv(1));
  EXPECT_EQ(data_of(later.log()), L({"DATA 0", "DATA 1", "DATA 2", "DATA 3", "DATA 4"}));
  EXPECT_EQ(corrector.log(), later.log());
  EXPECT_EQ(int_of(cache_of(s)), 4);
}

// s delivers; a sink of s sets t, and a sink of t sets s: the down on t
// goes out at once (t is not delivering), the one on s waits behind s's
// delivery although t's is the innermost.
TEST(DeliveryOrder, ADownWaitsBehindItsNodesDeliveryUnderAnotherNodesDelivery) {
  auto core = GraphCore::create();
  NodeHandle s = make_state(core, iv(0));
  NodeHandle t = make_state(core, iv(0));
  std::vector<std::string> events;
  auto first = subscribe_recording(s);
  first.sink->on_message = [&](const Message& m) {
    if (is_data(m, 1)) node_set(t, iv(10));
  };
  auto on_t = subscribe_recording(t);
  on_t.sink->on_message = [&](const Message& m) {
    if (!is_data(m, 10)) return;
    events.push_back("t 10");
    node_set(s, iv(2));
    events.push_back("t set s");
  };
  auto later = subscribe_recording(s);
  later.sink->on_message = [&](const Message& m) {
    if (m.kind() == MessageKind::Data) events.push_back("s " + std::to_string(int_of(m.value())));
  };
  events.clear();
  node_set(s, iv(1));
  EXPECT_EQ(events, L({"t 10", "t set s", "s 1", "s 2"}));
  EXPECT_EQ(data_of(first.log()), L({"DATA 0", "DATA 1", "DATA 2"}));
  EXPECT_EQ(int_of(cache_of(s)), 2);
}

// s delivers; its dependent p, a node without a function, settles to s's
// value in the drain after s's sinks were called, and a sink of p sets s:
// s's delivery is over by then, so that set goes out and is not lost.
TEST(DeliveryOrder, ADownMadeAfterANodesSinksWereCalledGoesOut) {
  auto core = GraphCore::create();
  NodeHandle s = make_state(core, iv(0));
  NodeHandle p = construct_node(core, deps_of({&s}), std::nullopt, Dispatcher::thread_default(), nullptr, {});
  auto on_p = subscribe_recording(p);
  on_p.sink->on_message = [&](const Message& m) {
    if (is_data(m, 1)) node_set(s, iv(2));
  };
  auto on_s = subscribe_recording(s);
  node_set(s, iv(1));
  EXPECT_EQ(data_of(on_s.log()), L({"DATA 0", "DATA 1", "DATA 2"}));
  EXPECT_EQ(data_of(on_p.log()), L({"DATA 0", "DATA 1", "DATA 2"}));
  EXPECT_EQ(int_of(cache_of(s)), 2);
  EXPECT_EQ(int_of(cache_of(p)), 2);
}

TEST(FeedbackRefusal, ADownThatWouldReachARunningNodeIsRefusedBeforeItChangesAnything) {
  auto core = GraphCore::create();
  NodeHandle s = make_state(core, iv(1));
  NodeHandle other = make_state(core, iv(0));
  NodeHandle doubled = make_map(core, s, [](int x) { return 2 * x; });
  std::string refused;
  NodeHandle n = make_node(core, deps_of({&doubled, &other}), fn_of([&](RunContext& ctx) {
                             if (refused.empty()) {
                               refused = fault_text([&] { node_set(s, iv(7)); });
                               node_set(other, iv(5));  // feeds only n: refused too
                             }
                             emit_data(ctx, ctx.inputs[0].current);
                           }));
  auto sn = subscribe_recording(n);
  auto sd = subscribe_recording(doubled);
  EXPECT_EQ(refused, kReentrantRun);
  EXPECT_EQ(int_of(cache_of(s)), 1);
  EXPECT_EQ(sd.log(), L({"START", "DATA 2"}));
  EXPECT_EQ(sn.log(), L({"START", "ERROR " + std::string(kReentrantRun)}));
}

TEST(FeedbackRefusal, ADownThatReachesNoRunningNodeGoesThrough) {
  auto core = GraphCore::create();
  NodeHandle s = make_state(core, iv(1));
  NodeHandle side = make_state(core, iv(0));
  NodeHandle side_doubled = make_map(core, side, [](int x) { return 2 * x; });
  NodeHandle n = make_node(core, deps_of({&s}), fn_of([&](RunContext& ctx) {
                             node_set(side, iv(int_of(ctx.inputs[0].current) + 1));
                             emit_data(ctx, ctx.inputs[0].current);
                           }));
  auto sd = subscribe_recording(side_doubled);
  auto sn = subscribe_recording(n);
  node_set(s, iv(4));
  EXPECT_EQ(int_of(cache_of(n)), 4);
  EXPECT_EQ(sd.log().back(), "DATA 10");
}

TEST(FaultedWave, WhatDepsDeliveredBeforeTheFaultReachesTheNextRun) {
  auto core = GraphCore::create();
  NodeHandle s0 = make_state(core, iv(0));
  NodeHandle s1 = make_state(core, iv(1));
  NodeHandle failing = make_node(core, deps_of({&s0}), fn_of([](RunContext& ctx) {
                                   if (int_of(ctx.inputs[0].current) == 4) fault("no 4");
                                   emit_data(ctx, ctx.inputs[0].current);
                                 }));
  std::vector<std::pair<int, int>> seen;
  NodeHandle sum = make_node(core, deps_of({&s0, &s1}), fn_of([&](RunContext& ctx) {
                               seen.emplace_back(int_of(ctx.inputs[0].current), int_of(ctx.inputs[1].current));
                               emit_data(ctx, iv(int_of(ctx.inputs[0].current) + int_of(ctx.inputs[1].current)));
                             }));
  auto sf = subscribe_recording(failing);  // its dep sink goes first: it runs first
  auto ss = subscribe_recording(sum);
  node_set(s0, iv(4));
  EXPECT_EQ(sf.log().back(), "ERROR no 4");
  node_set(s1, iv(7));
  EXPECT_EQ(seen.back(), std::make_pair(4, 7));
  EXPECT_EQ(ss.log().back(), "DATA 11");
}

TEST(FaultedActivation, TheSubscriptionItReturnsDetachesEveryDepSinkItAttached) {
  auto core = GraphCore::create();
  NodeHandle s = make_state(core, iv(1));
  NodeHandle mid = make_map(core, s, [](int x) { return x + 1; });
  NodeHandle top = make_node(core, deps_of({&mid}), fn_of([](RunContext&) { fault("first run fails"); }));
  auto sub = subscribe_recording(top);
  EXPECT_EQ(sub.log(), L({"START", "ERROR first run fails"}));
  EXPECT_EQ(sink_count(mid), 1u);
  std::move(sub.unsubscribe).call();
  EXPECT_EQ(sink_count(mid), 0u);
  EXPECT_EQ(sink_count(s), 0u);
  EXPECT_EQ(status_of(mid), NodeStatus::Sentinel);
}
