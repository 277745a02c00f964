// One DATA to many dep sinks of one node: the dependants record it in the
// list's order, a detached one gets nothing, one whose DATA takes the
// general road ends a run without ending the delivery, and a subscriber
// between them is called at its place. A DIRTY to many dep sinks marks each
// dependant only at its turn.

#include <gtest/gtest.h>

#include "node/topology/node_ops.hpp"
#include "node/topology/subscribe.hpp"
#include "test_support.hpp"

using namespace korvalinth;
using namespace korvalinth::test;

TEST(DepSinkRun, AFanOutsDataReachesEachDependantInListOrder) {
  auto core = GraphCore::create();
  std::vector<std::string> runs;
  NodeHandle head = make_state(core, iv(0));
  auto logged = [&](std::vector<NodeHandle> deps, const char* name, std::function<int(RunContext&)> f) {
    return make_node(core, std::move(deps), fn_of([&runs, name, f](RunContext& ctx) {
                       const int v = f(ctx);
                       runs.push_back(std::string(name) + " " + std::to_string(v));
                       emit_data(ctx, iv(v));
                       if (std::string(name) == "done") down(ctx.node, Message::complete());
                     }));
  };
  auto in = [](RunContext& ctx, int i) { return int_of(ctx.inputs[i].current); };
  NodeHandle x = make_state(core, iv(7));
  NodeHandle a = logged(deps_of({&head}), "a", [&](RunContext& ctx) { return in(ctx, 0) + 1; });
  NodeHandle b = logged(deps_of({&head}), "b", [&](RunContext& ctx) { return in(ctx, 0) * 2; });
  // Terminal from its first run, at its subscription: a DATA to it then
  // takes the general road.
  NodeHandle done = logged(deps_of({&head}), "done", [&](RunContext& ctx) { return in(ctx, 0); });
  // The head as its deps 0 and 2: two entries of one node, told apart by index.
  NodeHandle t = logged(deps_of({&head, &x, &head}), "t",
                        [&](RunContext& ctx) { return 100 * in(ctx, 0) + 10 * in(ctx, 1) + in(ctx, 2); });
  NodeHandle c = logged(deps_of({&head}), "c", [&](RunContext& ctx) { return in(ctx, 0) - 1; });
  // The head's sink list in this order: a, middle, b, done, t (twice), c.
  Subscribed sub_a = subscribe_recording(a);
  Subscribed middle = subscribe_recording(head);
  Subscribed sub_b = subscribe_recording(b);
  Subscribed sub_done = subscribe_recording(done);
  Subscribed sub_t = subscribe_recording(t);
  Subscribed sub_c = subscribe_recording(c);
  // Takes c's only subscriber off while the head's first DATA is delivered.
  middle.sink->on_message = [&](const Message& m) {
    if (m.kind() == MessageKind::Data && !sub_c.unsubscribe.empty()) sub_c.unsubscribe.call();
  };
  for (Subscribed* s : {&sub_a, &middle, &sub_b, &sub_done, &sub_t, &sub_c}) s->log().clear();
  runs.clear();
  node_set(head, iv(5));
  node_set(head, iv(9));
  EXPECT_EQ(runs, L({"a 6", "b 10", "t 575", "a 10", "b 18", "t 979"}));
  EXPECT_EQ(sub_a.log(), L({"DIRTY", "DATA 6", "DIRTY", "DATA 10"}));
  EXPECT_EQ(middle.log(), L({"DIRTY", "DATA 5", "DIRTY", "DATA 9"}));
  EXPECT_EQ(sub_b.log(), L({"DIRTY", "DATA 10", "DIRTY", "DATA 18"}));
  EXPECT_EQ(sub_done.log(), L({}));
  EXPECT_EQ(sub_t.log(), L({"DIRTY", "DATA 575", "DIRTY", "DATA 979"}));
  EXPECT_EQ(sub_c.log(), L({"DIRTY"}));
}

// Each dependant is marked dirty only once the DIRTY to those before it,
// their sinks' included, was delivered; one kept by a keep-alive sink alone
// is marked at its turn too, and one whose only subscriber went meanwhile
// is not reached.
TEST(DepSinkRun, AFanOutsDirtyMarksEachDependantAtItsTurn) {
  auto core = GraphCore::create();
  NodeHandle head = make_state(core, iv(0));
  std::vector<NodeHandle> nodes;
  for (int i = 0; i < 6; ++i) nodes.push_back(make_map(core, head, [i](int v) { return v + i; }));
  auto dirty_marks = [&] {
    std::string marks;
    for (const NodeHandle& n : nodes) {
      const bool dirty = core->borrow()->edge_at(n.index()).state.status() == NodeStatus::Dirty;
      marks += dirty ? '1' : '0';
    }
    return marks;
  };
  // The head's dep sinks in this order: recorded, kept alive, recorded,
  // kept alive, recorded, recorded.
  const bool kept_alive[] = {false, true, false, true, false, false};
  std::vector<Subscribed> recorded;
  std::vector<UnsubscribeFn> keep_alives;
  std::vector<std::string> seen;
  recorded.reserve(6);
  for (int i = 0; i < 6; ++i) {
    if (kept_alive[i]) {
      keep_alives.push_back(subscribe_keepalive_core(nodes[i]));
      continue;
    }
    recorded.push_back(subscribe_recording(nodes[i]));
    recorded.back().log().clear();
    recorded.back().sink->on_message = [&, i](const Message& m) {
      if (m.kind() != MessageKind::Dirty) return;
      seen.push_back(std::to_string(i) + ":" + dirty_marks());
      // The last one's only subscriber goes: its node is left inactive.
      if (i == 4) recorded.back().unsubscribe.call();
    };
  }
  node_set(head, iv(5));
  EXPECT_EQ(seen, L({"0:100000", "2:111000", "4:111110"}));
  EXPECT_EQ(recorded[0].log(), L({"DIRTY", "DATA 5"}));
  EXPECT_EQ(recorded[1].log(), L({"DIRTY", "DATA 7"}));
  EXPECT_EQ(recorded[2].log(), L({"DIRTY", "DATA 9"}));
  EXPECT_EQ(recorded[3].log(), L({}));
  EXPECT_EQ(dirty_marks(), "000000");
  for (int i : {1, 3}) EXPECT_EQ(int_of(core->borrow()->edge_at(nodes[i].index()).cache), 5 + i) << "a node kept alive ran";
}
