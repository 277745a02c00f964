// One DATA to many dep sinks of one node: the dependants record it in the
// list's order, a detached one gets nothing, one whose DATA takes the
// general road ends a run without ending the delivery, and a subscriber
// between them is called at its place.

#include <gtest/gtest.h>

#include "node/topology/node_ops.hpp"
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

namespace {

// One entry of a head's sink list: q a dependant kept alive only (its
// DIRTY goes no further), l a dependant with a subscriber, s a subscriber
// of the head itself.
struct DirtyLayout {
  const char* name;
  const char* entries;
};

}  // namespace

// One DIRTY to many dependants: each is marked dirty at its place in the
// list's order, whether it is marked with the quiet ones around it or goes
// on to its own subscriber, and every dependant then runs once, in order.
TEST(DepSinkRun, AFanOutsDirtyMarksEachDependantAtItsPlaceInTheList) {
  const DirtyLayout layouts[] = {
      {"quiet dependants only", "qqqqq"},
      {"a dependant going on between quiet ones", "qqlqq"},
      {"a head subscriber between quiet ones", "qsqqq"},
      {"going on at both ends", "lqqql"},
      {"every kind, wide", "sqlqqsqlqq"},
      {"a short list", "qlq"},
  };
  for (const DirtyLayout& layout : layouts) {
    SCOPED_TRACE(layout.name);
    auto core = GraphCore::create();
    NodeHandle head = make_state(core, iv(0));
    const std::string letters = layout.entries;
    std::vector<NodeHandle> dependants;
    std::vector<std::size_t> place;  // each dependant's place in the head's list
    std::vector<std::string> runs;
    std::vector<UnsubscribeFn> keepalives;
    std::vector<Subscribed> subs;
    subs.reserve(letters.size());
    // What each subscriber saw of the dependants at its DIRTY: D for a
    // dirty one, . for any other.
    std::vector<std::string> seen;
    auto statuses = [&] {
      std::string out;
      for (const NodeHandle& d : dependants) out += status_of(d) == NodeStatus::Dirty ? 'D' : '.';
      return out;
    };
    for (std::size_t i = 0; i < letters.size(); ++i) {
      if (letters[i] == 's') {
        subs.push_back(subscribe_recording(head));
      } else {
        const std::string name = std::to_string(i);
        dependants.push_back(make_node(core, deps_of({&head}), fn_of([&runs, name](RunContext& ctx) {
                                         const int v = int_of(ctx.inputs[0].current);
                                         runs.push_back(name + " " + std::to_string(v));
                                         emit_data(ctx, iv(v + 1));
                                       })));
        place.push_back(i);
        if (letters[i] == 'q')
          keepalives.push_back(subscribe_keepalive_core(dependants.back()));
        else
          subs.push_back(subscribe_recording(dependants.back()));
      }
      if (letters[i] != 'q') subs.back().sink->on_message = [&](const Message& m) {
        if (m.kind() == MessageKind::Dirty) seen.push_back(statuses());
      };
    }
    std::vector<std::string> expected_seen;
    std::vector<std::string> expected_runs;
    for (std::size_t i = 0; i < letters.size(); ++i) {
      if (letters[i] != 'q') {
        std::string marked;
        // A dependant's own subscriber sees it marked already.
        for (std::size_t p : place) marked += p < i || (p == i && letters[i] == 'l') ? 'D' : '.';
        expected_seen.push_back(marked);
      }
      if (letters[i] != 's') expected_runs.push_back(std::to_string(i) + " 5");
    }
    for (Subscribed& s : subs) s.log().clear();
    runs.clear();
    node_set(head, iv(5));
    EXPECT_EQ(seen, expected_seen);
    EXPECT_EQ(runs, expected_runs);
    EXPECT_EQ(statuses(), std::string(dependants.size(), '.'));
    for (std::size_t i = 0, k = 0; i < letters.size(); ++i) {
      if (letters[i] == 'q') continue;
      EXPECT_EQ(subs[k++].log(), L({"DIRTY", letters[i] == 's' ? "DATA 5" : "DATA 6"}));
    }
    for (Subscribed& s : subs) s.unsubscribe.call();
    for (UnsubscribeFn& k : keepalives) k.call();
  }
}
