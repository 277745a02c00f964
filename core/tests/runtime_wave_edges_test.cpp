// Edge cases of the wave machinery: the pending queue, wave scopes and their
// fault policy, the host boundary, the node operations, upstream control
// and batches.

#include <algorithm>
#include <map>

#include <gtest/gtest.h>

#include "host_boundary/host_boundary.hpp"
#include "node/wave/batch.hpp"
#include "node/wave/delivery.hpp"
#include "node/wave/pending.hpp"
#include "node/topology/rewire.hpp"
#include "node/wave/up.hpp"
#include "node/wave/wave_scope.hpp"
#include "test_support.hpp"

using namespace korvalinth;
using namespace korvalinth::test;

namespace {

EdgeEntry& edge(const UncountedNode& n) { return n.core_ref().unguarded().edge_at(n.index()); }
AuxEntry& aux(const UncountedNode& n) { return n.core_ref().unguarded().aux_at(n.index()); }
std::uint64_t touch_stamp(const UncountedNode& n) { return n.core_ref().borrow()->touch_stamp(n.index()); }

// A source with pull id "p" whose function counts its runs and emits the count.
NodeHandle pulled_source(const CoreRef& core, int& runs) {
  NodeHandle src = make_node(core, {}, fn_of([&runs](RunContext& ctx) { emit_data(ctx, iv(++runs)); }));
  set_pull_id(src, std::string("p"));
  return src;
}

// States "a" and "b" in one core and "x" in another, each logging its name
// when released. The log is declared first: it outlives the nodes a case
// keeps, which are released last.
struct ReleaseLoggedStates {
  static inline const std::vector<std::string> names = {"a", "x", "b"};
  std::vector<std::string> log;
  CoreRef one = GraphCore::create();
  CoreRef other = GraphCore::create();
  std::vector<NodeHandle> nodes;
  std::vector<UncountedNode> views;

  ReleaseLoggedStates() {
    nodes.push_back(make_state(one, iv(0)));
    nodes.push_back(make_state(other, iv(0)));
    nodes.push_back(make_state(one, iv(0)));
    for (std::size_t i = 0; i < nodes.size(); ++i) {
      views.push_back(nodes[i].uncounted());
      add_release_callback(nodes[i], [this, name = names[i]] { log.push_back(name); });
    }
  }
  ReleaseLoggedStates(const ReleaseLoggedStates&) = delete;
  ReleaseLoggedStates& operator=(const ReleaseLoggedStates&) = delete;

  // The dropped nodes were released in this order; the kept ones live, unpinned.
  void expect_released(const std::vector<std::size_t>& dropped, const std::vector<std::string>& released) const {
    EXPECT_EQ(log, released);
    for (std::size_t i = 0; i < views.size(); ++i) {
      const bool gone = std::find(dropped.begin(), dropped.end(), i) != dropped.end();
      EXPECT_EQ(is_live(views[i]), !gone) << names[i];
      if (!gone) EXPECT_EQ(pin_count(views[i]), 0u) << names[i];
    }
  }
};

}  // namespace

TEST(PendingEdges, RunChecksGoBeforeResolveChecksWhateverThePushOrder) {
  auto core = GraphCore::create();
  NodeHandle s = make_state(core, iv(1));
  std::vector<std::string> order;
  NodeHandle n1 = make_map(core, s, [](int x) { return x; });
  NodeHandle n2 = make_node(core, deps_of({&s}), fn_of([&](RunContext&) { order.push_back("n2 ran"); }));
  NodeHandle n3 = make_node(core, deps_of({&s}), fn_of([&](RunContext&) { order.push_back("n3 ran"); }));
  auto s1 = subscribe_recording(n1);
  auto s2 = subscribe_recording(n2);
  auto s3 = subscribe_recording(n3);
  s1.sink->on_message = [&](const Message& m) { order.push_back("n1 " + std::string(m.kind_name())); };
  order.clear();
  NodeStateTestAccess::set(edge(n1).state, NodeState::Flag::DirtySent, true);
  push_pending(n1, PendingKind::ResolveCheck);
  push_pending(n2, PendingKind::RunCheck);
  push_pending(n3, PendingKind::RunCheck);
  drain_pending();
  EXPECT_EQ(order, L({"n2 ran", "n3 ran", "n1 RESOLVED"}));
}

TEST(PendingEdges, ChecksOfReleasedOrTerminalNodesAreSkipped) {
  auto core = GraphCore::create();
  NodeHandle s = make_state(core, iv(1));
  int runs = 0;
  NodeHandle gone = make_node(core, {}, fn_of([&](RunContext&) { ++runs; }));
  NodeHandle done = make_node(core, deps_of({&s}), fn_of([&](RunContext&) { ++runs; }));
  auto sub = subscribe_recording(done);
  node_down_in_wave_scope(done, one_message(Message::complete()));
  runs = 0;
  push_pending(gone, PendingKind::RunCheck);
  push_pending(done, PendingKind::RunCheck);
  gone.drop();
  drain_pending();
  EXPECT_EQ(runs, 0);
}

namespace {

// A queued check and the node it names, as the drain finds it.
enum class QueuedNode { Live, DirtySent, Terminal, Released, CoreGone };
struct QueuedCheckCase {
  const char* name;
  PendingKind kind;
  QueuedNode node;
  std::vector<std::string> expected;
};

// What the check leaves in its node's log ("ran", and the messages its
// subscriber sees), drained alone or after another node's run check.
std::vector<std::string> drain_queued_check(const QueuedCheckCase& c, bool beside_another) {
  std::vector<std::string> log;
  auto home = GraphCore::create();
  NodeHandle src = make_state(home, iv(1));
  NodeHandle n = make_node(home, deps_of({&src}), fn_of([&log](RunContext&) { log.push_back("ran"); }));
  std::optional<Subscribed> sub;
  if (c.node != QueuedNode::Released && c.node != QueuedNode::CoreGone) {
    sub = subscribe_recording(n);
    sub->sink->on_message = [&log](const Message& m) { log.push_back(std::string(m.kind_name())); };
  }
  if (c.node == QueuedNode::Terminal) node_down_in_wave_scope(n, one_message(Message::complete()));
  if (c.node == QueuedNode::DirtySent) NodeStateTestAccess::set(edge(n).state, NodeState::Flag::DirtySent, true);

  auto core = GraphCore::create();
  NodeHandle other_src = make_state(core, iv(1));
  int other_runs = 0;
  NodeHandle other = make_map(core, other_src, [](int x) { return x; }, &other_runs);
  auto other_sub = subscribe_recording(other);
  other_runs = 0;

  log.clear();
  if (beside_another) push_pending(other, PendingKind::RunCheck);
  push_pending(n, c.kind);
  if (c.node == QueuedNode::Released || c.node == QueuedNode::CoreGone) n.drop();
  if (c.node == QueuedNode::CoreGone) {
    src.drop();
    home.reset();
  }
  drain_pending();
  EXPECT_EQ(other_runs, beside_another ? 1 : 0) << c.name;
  return log;
}

}  // namespace

TEST(PendingEdges, ALoneQueuedCheckDoesWhatItDoesBesideOthers) {
  const QueuedCheckCase cases[] = {
      {"run check of a live node", PendingKind::RunCheck, QueuedNode::Live, L({"ran"})},
      {"resolve check of a node that sent DIRTY", PendingKind::ResolveCheck, QueuedNode::DirtySent, L({"RESOLVED"})},
      {"resolve check of a node that owes nothing", PendingKind::ResolveCheck, QueuedNode::Live, {}},
      {"run check of a terminal node", PendingKind::RunCheck, QueuedNode::Terminal, {}},
      {"resolve check of a terminal node", PendingKind::ResolveCheck, QueuedNode::Terminal, {}},
      {"run check of a released node", PendingKind::RunCheck, QueuedNode::Released, {}},
      {"run check in a core that is gone", PendingKind::RunCheck, QueuedNode::CoreGone, {}},
  };
  for (const QueuedCheckCase& c : cases) {
    EXPECT_EQ(drain_queued_check(c, false), c.expected) << c.name << " (alone)";
    EXPECT_EQ(drain_queued_check(c, true), c.expected) << c.name << " (beside another)";
  }
}

namespace {

// A fan-out's resolve checks pushed in an order, repeats included, over
// nodes of one core or alternately of two (whose slots share indexes).
struct ResolveFanOutCase {
  const char* name;
  std::size_t nodes;
  bool two_cores;
  bool repeat_reversed;  // each check pushed again, last first
  bool run_checks_between;
};

// The queue's size and the nodes' RESOLVED in the order the drain sends
// them, for two drains.
std::vector<std::string> drain_resolve_fan_out(const ResolveFanOutCase& c) {
  std::vector<CoreRef> cores{GraphCore::create(), GraphCore::create()};
  std::vector<NodeHandle> sources;
  std::vector<NodeHandle> nodes;
  std::vector<Subscribed> subs;
  std::vector<std::string> log;
  for (std::size_t i = 0; i < c.nodes; ++i) {
    const CoreRef& core = cores[c.two_cores ? i % 2 : 0];
    sources.push_back(make_state(core, iv(1)));
    nodes.push_back(make_node(core, deps_of({&sources.back()}), fn_of([](RunContext&) {})));
    subs.push_back(subscribe_recording(nodes.back()));
    subs.back().sink->on_message = [&log, i](const Message& m) {
      log.push_back(std::to_string(i) + " " + std::string(m.kind_name()));
    };
  }
  for (int round = 0; round < 2; ++round) {
    log.push_back("drain");
    for (NodeHandle& n : nodes) NodeStateTestAccess::set(edge(n).state, NodeState::Flag::DirtySent, true);
    for (NodeHandle& n : nodes) {
      push_pending(n, PendingKind::ResolveCheck);
      if (c.run_checks_between) push_pending(n, PendingKind::RunCheck);
    }
    if (c.repeat_reversed) {
      for (auto n = nodes.rbegin(); n != nodes.rend(); ++n) push_pending(*n, PendingKind::ResolveCheck);
    }
    log.push_back("queued " + std::to_string(pending_state().queue.size()));
    drain_pending();
  }
  return log;
}

}  // namespace

TEST(PendingEdges, AFanOutsResolveChecksAreQueuedOncePerNodeInFirstPushOrder) {
  const ResolveFanOutCase cases[] = {
      {"one node", 1, false, false, false},
      {"one node pushed twice", 1, false, true, false},
      {"a fan-out larger than the first table", 40, false, true, false},
      {"two cores whose slots share indexes", 40, true, true, false},
      {"run checks of the same nodes between", 24, true, true, true},
  };
  for (const ResolveFanOutCase& c : cases) {
    std::vector<std::string> expected;
    for (int round = 0; round < 2; ++round) {
      expected.push_back("drain");
      expected.push_back("queued " + std::to_string(c.run_checks_between ? 2 * c.nodes : c.nodes));
      for (std::size_t i = 0; i < c.nodes; ++i) expected.push_back(std::to_string(i) + " RESOLVED");
    }
    EXPECT_EQ(drain_resolve_fan_out(c), expected) << c.name;
  }
}

namespace {

// A check pushed by name: "a1", "a2" of the wave owner's core, "b1" of another.
struct QueuedPush {
  const char* node;
  PendingKind kind;
};
constexpr PendingKind kRun = PendingKind::RunCheck;
constexpr PendingKind kResolve = PendingKind::ResolveCheck;

// A row of the queue-order tables: the pushes and the log they give.
struct QueueCase {
  const char* name;
  std::vector<QueuedPush> pushes;
  std::vector<std::string> expected;
};

// Queues each check on its named node, as a delivery would (a resolve
// check's node has sent its DIRTY).
void push_checks(const std::map<std::string, NodeHandle>& nodes, const std::vector<QueuedPush>& pushes) {
  for (const QueuedPush& p : pushes) {
    const NodeHandle& n = nodes.at(p.node);
    if (p.kind == PendingKind::ResolveCheck) NodeStateTestAccess::set(edge(n).state, NodeState::Flag::DirtySent, true);
    push_pending(n, p.kind);
  }
}

// The runs and RESOLVED a drain of the pushes gives, pushed and drained
// inside a wave owned by a node of a1's core (whose first item waits alone
// beside the queue's vector) or outside any wave (every item in the vector).
std::vector<std::string> drain_pushes(const std::vector<QueuedPush>& pushes, bool in_owners_wave) {
  std::vector<std::string> log;
  auto home = GraphCore::create();
  auto other = GraphCore::create();
  NodeHandle owner = make_state(home, iv(0));
  NodeHandle home_src = make_state(home, iv(1));
  NodeHandle other_src = make_state(other, iv(1));
  std::map<std::string, NodeHandle> nodes;
  std::vector<Subscribed> subs;
  for (const char* name : {"a1", "a2", "b1"}) {
    const bool at_home = name[0] == 'a';
    NodeHandle n = make_node(at_home ? home : other, deps_of({at_home ? &home_src : &other_src}),
                             fn_of([&log, name](RunContext&) { log.push_back(std::string(name) + " ran"); }));
    subs.push_back(subscribe_recording(n));
    subs.back().sink->on_message = [&log, name](const Message& m) {
      log.push_back(std::string(name) + " " + std::string(m.kind_name()));
    };
    nodes.emplace(name, std::move(n));
  }
  log.clear();
  auto push_and_drain = [&] {
    push_checks(nodes, pushes);
    drain_pending();
  };
  if (in_owners_wave)
    run_in_wave_scope(owner, push_and_drain);
  else
    push_and_drain();
  return log;
}

}  // namespace

TEST(PendingEdges, TheOwnersLoneItemDrainsInTheOrderTheVectorGives) {
  const QueueCase cases[] = {
      {"one run check", {{"a1", kRun}}, L({"a1 ran"})},
      {"a second of the owner's core", {{"a1", kRun}, {"a2", kRun}}, L({"a1 ran", "a2 ran"})},
      {"another core's after it", {{"a1", kRun}, {"b1", kRun}}, L({"a1 ran", "b1 ran"})},
      {"another core's before it", {{"b1", kRun}, {"a1", kRun}}, L({"b1 ran", "a1 ran"})},
      {"a resolve check before a run check", {{"a1", kResolve}, {"a2", kRun}}, L({"a2 ran", "a1 RESOLVED"})},
      {"a run check before a resolve check", {{"a1", kRun}, {"a2", kResolve}}, L({"a1 ran", "a2 RESOLVED"})},
      {"two resolve checks", {{"a1", kResolve}, {"a2", kResolve}}, L({"a1 RESOLVED", "a2 RESOLVED"})},
      {"another core's run check behind a resolve check", {{"a1", kResolve}, {"b1", kRun}},
       L({"b1 ran", "a1 RESOLVED"})},
      {"another core's resolve check behind a run check", {{"a1", kRun}, {"b1", kResolve}},
       L({"a1 ran", "b1 RESOLVED"})},
      {"one resolve check", {{"a1", kResolve}}, L({"a1 RESOLVED"})},
      {"the same run check twice", {{"a1", kRun}, {"a1", kRun}}, L({"a1 ran"})},
      {"the same resolve check twice", {{"a1", kResolve}, {"a1", kResolve}}, L({"a1 RESOLVED"})},
  };
  for (const QueueCase& c : cases) {
    EXPECT_EQ(drain_pushes(c.pushes, true), c.expected) << c.name << " (in the owner's wave)";
    EXPECT_EQ(drain_pushes(c.pushes, false), c.expected) << c.name << " (outside a wave)";
  }
}

namespace {

// Where the queued checks come from and when they drain.
enum class QueueRoad { SetHead, PushedAndDrainedInWave, PushedInWaveDrainedAfter };

// For each run, in run order, "<name> as <node>": node is the name of the
// node the run's handle names, as seen through a copy its function keeps
// past the wave ("?" when it names none of them); then each RESOLVED by
// name. a1..a3 hang off one head in the owner's core, b1 off another core's.
std::vector<std::string> queued_runs_as_named(const std::vector<QueuedPush>& pushes, QueueRoad road) {
  std::vector<std::string> log;
  std::vector<std::pair<std::string, UncountedNode>> kept;
  auto home = GraphCore::create();
  auto other = GraphCore::create();
  NodeHandle owner = make_state(home, iv(0));
  NodeHandle head = make_state(home, iv(1));
  NodeHandle other_head = make_state(other, iv(1));
  std::map<std::string, NodeHandle> nodes;
  std::vector<Subscribed> subs;
  for (const QueuedPush& p : pushes) {
    if (nodes.contains(p.node)) continue;
    const bool at_home = p.node[0] == 'a';
    const std::string name = p.node;
    NodeHandle n = make_node(at_home ? home : other, deps_of({at_home ? &head : &other_head}),
                             fn_of([&kept, name](RunContext& ctx) { kept.emplace_back(name, ctx.node.uncounted()); }));
    subs.push_back(subscribe_recording(n));
    subs.back().sink->on_message = [&log, name](const Message& m) {
      if (m.kind() == MessageKind::Resolved) log.push_back(name + " RESOLVED");
    };
    nodes.emplace(name, std::move(n));
  }
  kept.clear();
  log.clear();
  auto push = [&] { push_checks(nodes, pushes); };
  if (road == QueueRoad::SetHead) node_set(head, iv(2));
  if (road == QueueRoad::PushedAndDrainedInWave) run_in_wave_scope(owner, [&] {
    push();
    drain_pending();
  });
  if (road == QueueRoad::PushedInWaveDrainedAfter) {
    run_in_wave_scope(owner, push);
    drain_pending();
  }
  std::vector<std::string> runs;
  for (const auto& [name, node] : kept) {
    std::string as = "?";
    for (const auto& [other_name, n] : nodes)
      if (node.same_node(n) && is_live(node)) as = other_name;
    runs.push_back(name + " as " + as);
  }
  runs.insert(runs.end(), log.begin(), log.end());
  return runs;
}

}  // namespace

TEST(PendingEdges, EachQueuedCheckActsOnItsOwnNode) {
  const QueueCase cases[] = {
      {"one", {{"a1", kRun}}, L({"a1 as a1"})},
      {"two of one core", {{"a1", kRun}, {"a2", kRun}}, L({"a1 as a1", "a2 as a2"})},
      {"three of one core", {{"a1", kRun}, {"a2", kRun}, {"a3", kRun}}, L({"a1 as a1", "a2 as a2", "a3 as a3"})},
      {"a resolve check first", {{"a1", kResolve}, {"a2", kRun}, {"a3", kRun}},
       L({"a2 as a2", "a3 as a3", "a1 RESOLVED"})},
      {"a resolve check between", {{"a1", kRun}, {"a2", kResolve}, {"a3", kRun}},
       L({"a1 as a1", "a3 as a3", "a2 RESOLVED"})},
      {"another core's between", {{"a1", kRun}, {"b1", kRun}, {"a2", kRun}}, L({"a1 as a1", "b1 as b1", "a2 as a2"})},
      {"a resolve check behind the lone one", {{"a1", kResolve}, {"a2", kResolve}}, L({"a1 RESOLVED", "a2 RESOLVED"})},
      {"a run check behind a lone resolve check", {{"a1", kResolve}, {"a2", kRun}}, L({"a2 as a2", "a1 RESOLVED"})},
  };
  for (const QueueCase& c : cases) {
    EXPECT_EQ(queued_runs_as_named(c.pushes, QueueRoad::PushedAndDrainedInWave), c.expected) << c.name << " (in a wave)";
    EXPECT_EQ(queued_runs_as_named(c.pushes, QueueRoad::PushedInWaveDrainedAfter), c.expected)
        << c.name << " (drained after it)";
  }
  // A set of the head queues a run check of each node that hangs off it;
  // each run emits nothing, so its node resolves.
  EXPECT_EQ(queued_runs_as_named({{"a1", kRun}, {"a2", kRun}}, QueueRoad::SetHead),
            L({"a1 as a1", "a2 as a2", "a1 RESOLVED", "a2 RESOLVED"}));
  EXPECT_EQ(queued_runs_as_named({{"a1", kRun}, {"a2", kRun}, {"a3", kRun}}, QueueRoad::SetHead),
            L({"a1 as a1", "a2 as a2", "a3 as a3", "a1 RESOLVED", "a2 RESOLVED", "a3 RESOLVED"}));
}

TEST(PendingEdges, TheOwnersLoneItemIsDroppedUnrunWhenItsWaveFaults) {
  auto core = GraphCore::create();
  NodeHandle owner = make_state(core, iv(0));
  NodeHandle s = make_state(core, iv(1));
  int runs = 0;
  NodeHandle n = make_node(core, deps_of({&s}), fn_of([&runs](RunContext&) { ++runs; }));
  auto other = GraphCore::create();
  NodeHandle other_s = make_state(other, iv(1));
  int other_runs = 0;
  NodeHandle m = make_node(other, deps_of({&other_s}), fn_of([&other_runs](RunContext&) { ++other_runs; }));
  auto sub = subscribe_recording(owner);
  auto sub_n = subscribe_recording(n);
  auto sub_m = subscribe_recording(m);
  runs = 0;
  other_runs = 0;
  run_in_wave_scope(owner, [&] {
    push_pending(n, PendingKind::RunCheck);
    push_pending(m, PendingKind::RunCheck);  // queued behind the lone item
    fault("queued, then faulted");
  });
  drain_pending();
  EXPECT_EQ(runs, 0);
  EXPECT_EQ(other_runs, 0);
  EXPECT_EQ(pin_count(n), 0u);
  ASSERT_FALSE(sub.log().empty());
  EXPECT_TRUE(sub.log().back().starts_with("ERROR")) << sub.log().back();
  EXPECT_NE(sub.log().back().find("queued, then faulted"), std::string::npos) << sub.log().back();
  // The next wave's queue starts empty: only its own check runs.
  run_in_wave_scope(owner, [&] {
    push_pending(n, PendingKind::RunCheck);
    drain_pending();
  });
  EXPECT_EQ(runs, 1);
}

TEST(PendingEdges, ARunCheckMadeDuringADeliveryIsQueuedForItsEnd) {
  auto core = GraphCore::create();
  NodeHandle s = make_state(core, iv(1));
  NodeHandle other = make_state(core, iv(0));
  int runs = 0;
  NodeHandle m = make_map(core, s, [](int x) { return x; }, &runs);
  auto sm = subscribe_recording(m);
  auto so = subscribe_recording(other);
  int runs_inside = -1;
  so.sink->on_message = [&](const Message& msg) {
    if (msg.kind() != MessageKind::Data) return;
    run_queued(m);
    runs_inside = runs;
  };
  node_set(other, iv(1));
  EXPECT_EQ(runs_inside, 1);
  EXPECT_EQ(runs, 2);
}

TEST(PendingEdges, ANodeIsPinnedOncePerScopeAndAgainInTheNext) {
  auto core = GraphCore::create();
  NodeHandle s = make_state(core, iv(1));
  std::uint64_t first_stamp = 0;
  run_in_wave_scope(s, [&] {
    touch_in_current_frame(s);
    touch_in_current_frame(s);
    EXPECT_EQ(pin_count(s), 1u);
    first_stamp = touch_stamp(s);
  });
  EXPECT_EQ(pin_count(s), 0u);
  run_in_wave_scope(s, [&] {
    touch_in_current_frame(s);
    EXPECT_EQ(pin_count(s), 1u);
    EXPECT_GT(touch_stamp(s), first_stamp);
  });
  EXPECT_EQ(pin_count(s), 0u);
}

TEST(WaveScopeEdges, AnOperationJoiningAWaveDeliversAtOnceAndLeavesItsEndToTheOwner) {
  auto core = GraphCore::create();
  NodeHandle a = make_state(core, iv(0));
  NodeHandle b = make_state(core, iv(0));
  auto sa = subscribe_recording(a);
  auto sb = subscribe_recording(b);
  std::uint64_t b_pins_inside = 0;
  std::size_t b_log_inside = 0;
  sa.sink->on_message = [&](const Message& m) {
    if (m.kind() != MessageKind::Data || int_of(m.value()) != 1) return;
    node_set(b, iv(5));
    b_log_inside = sb.log().size();
    b_pins_inside = pin_count(b);
  };
  node_set(a, iv(1));
  EXPECT_EQ(b_log_inside, 4u);  // DIRTY and DATA 5 went out inside a's delivery
  EXPECT_EQ(b_pins_inside, 1u);
  EXPECT_EQ(pin_count(b), 0u);

  // A fault inside the joined operation reaches the owner: the ERROR goes
  // to the owner's node, not to the node of the joined operation.
  sb.sink->on_message = [](const Message& m) {
    if (m.kind() == MessageKind::Data && int_of(m.value()) == 6) fault("b refused");
  };
  sa.sink->on_message = [&](const Message& m) {
    if (m.kind() == MessageKind::Data && int_of(m.value()) == 2) node_set(b, iv(6));
  };
  node_set(a, iv(2));
  EXPECT_EQ(sa.log().back(), "ERROR b refused");
  EXPECT_EQ(status_of(a), NodeStatus::Errored);
  EXPECT_EQ(status_of(b), NodeStatus::Settled);
}

// Nodes whose last handle goes inside a wave are kept by the wave's pins
// and released at its end in the order it touched them, a node of another
// core than the owner's among them, whether the wave's work faulted or not;
// the nodes kept stay, unpinned.
TEST(WaveScopeEdges, NodesWhoseLastHandleGoesInAWaveAreReleasedAtItsEndInTouchOrder) {
  struct Case {
    std::vector<std::size_t> dropped;  // inside the wave, in this order
    std::vector<std::string> released;
    std::vector<std::size_t> touched = {0, 1, 2};  // the touch order
    bool faults = false;                           // the work faults after the drops
    bool aborts = false;                           // the host boundary aborts after the drops
  };
  const std::vector<Case> cases = {
      {{}, {}},
      {{0}, {"a"}},
      {{1}, {"x"}},
      {{2}, {"b"}},
      {{2, 0}, {"a", "b"}},
      {{1, 2, 0}, {"a", "x", "b"}},
      {{2}, {"b"}, {0, 2, 1}},
      {{1, 2}, {"b", "x"}, {0, 2, 1}},
      {{0, 1}, {"x", "a"}, {1, 0, 2}},
      // The owner's node touched after another of its core, before one of another core.
      {{}, {}, {2, 0, 1}},
      {{0}, {"a"}, {2, 0, 1}},
      {{0, 2}, {"b", "a"}, {2, 0}},
      {{0}, {"a"}, {0, 1, 2}, true},
      {{1, 2, 0}, {"a", "x", "b"}, {0, 1, 2}, true},
      {{0, 1}, {"x", "a"}, {1, 0, 2}, true},
      {{0}, {"a"}, {0, 1, 2}, false, true},
      {{1, 2, 0}, {"a", "x", "b"}, {0, 1, 2}, false, true},
      {{0, 1}, {"x", "a"}, {1, 0, 2}, false, true},
      {{2}, {"b"}, {0, 2, 1}, false, true},
  };
  for (const Case& c : cases) {
    ReleaseLoggedStates g;
    HostBoundaryScope boundary;
    auto wave = [&] {
      run_in_wave_scope(g.views[0], [&] {
        for (std::size_t i : c.touched) touch_in_current_frame(g.views[i]);
        for (std::size_t i : c.dropped) g.nodes[i].drop();
        EXPECT_TRUE(g.log.empty());
        if (c.faults) fault("work failed");
        if (c.aborts) host_boundary_abort();
      });
    };
    if (c.aborts)
      EXPECT_THROW(wave(), HostBoundaryAbort);
    else
      wave();
    g.expect_released(c.dropped, c.released);
  }
}

// A fault goes to the node whose function ran last, wherever the wave is
// when it comes: in that function, in a sink after the call returned, or
// in the owner's work once the run and its queued check are over. The
// operation's own node gets nothing.
TEST(WaveScopeEdges, AFaultGoesToTheLastRunsNodeAlsoAfterItsRunEnded) {
  enum class Where { InFunction, InSinkAfterTheCall, InWorkAfterTheRun };
  for (Where where : {Where::InFunction, Where::InSinkAfterTheCall, Where::InWorkAfterTheRun}) {
    auto core = GraphCore::create();
    NodeHandle s = make_state(core, iv(1));
    // Emits nothing: its run resolves after the call.
    NodeHandle quiet = make_node(core, deps_of({&s}), fn_of([&](RunContext& ctx) {
                                   if (where == Where::InFunction && int_of(ctx.inputs[0].current) == 2)
                                     fault("failed");
                                 }));
    auto sq = subscribe_recording(quiet);
    auto ss = subscribe_recording(s);
    if (where == Where::InSinkAfterTheCall)
      sq.sink->on_message = [](const Message& m) {
        if (m.kind() == MessageKind::Resolved) fault("failed");
      };
    run_in_wave_scope(s, [&] {
      node_set(s, iv(2));
      if (where == Where::InWorkAfterTheRun) fault("failed");
    });
    EXPECT_EQ(sq.log().back(), "ERROR failed") << static_cast<int>(where);
    EXPECT_EQ(status_of(quiet), NodeStatus::Errored) << static_cast<int>(where);
    EXPECT_EQ(ss.log().back(), "DATA 2") << static_cast<int>(where);
    EXPECT_EQ(pin_count(quiet), 0u) << static_cast<int>(where);
  }
}

TEST(WaveScopeEdges, AFaultDropsTheChecksQueuedBeforeIt) {
  auto core = GraphCore::create();
  NodeHandle s = make_state(core, iv(1));
  int runs = 0;
  NodeHandle m = make_map(core, s, [](int x) { return x; }, &runs);
  auto sm = subscribe_recording(m);
  auto ss = subscribe_recording(s);  // after m's dep sink in s's sink list
  ss.sink->on_message = [](const Message& msg) {
    if (msg.kind() == MessageKind::Data && int_of(msg.value()) == 2) fault("late sink failed");
  };
  node_set(s, iv(2));
  // m's run check was queued by its dep sink, then the fault dropped it.
  EXPECT_EQ(runs, 1);
  EXPECT_EQ(ss.log().back(), "ERROR late sink failed");
  EXPECT_EQ(edge(m).state.pending_count(), 0u);
  EXPECT_FALSE(edge(m).state.dirty_sent());
}

TEST(HostBoundaryEdges, NestedBoundariesCountAndTheAbortStopsAtTheInnerCatcher) {
  EXPECT_EQ(host_boundary_depth(), 0u);
  EXPECT_EQ(fault_text([] { host_boundary_abort(); }),
            "host boundary abort requested outside a native host boundary (D431)");
  HostBoundaryScope outer;
  bool caught = false;
  try {
    HostBoundaryScope inner;
    EXPECT_EQ(host_boundary_depth(), 2u);
    host_boundary_abort();
  } catch (const HostBoundaryAbort&) {
    caught = true;
    EXPECT_EQ(host_boundary_depth(), 1u);
  }
  EXPECT_TRUE(caught);
  // A fault with a text and the abort are told apart by type alone.
  EXPECT_TRUE(is_host_boundary_abort(std::make_exception_ptr(HostBoundaryAbort{})));
  EXPECT_FALSE(is_host_boundary_abort(std::make_exception_ptr(Fault("host boundary abort"))));
}

TEST(OperationEdges, AnEmitFromANodeFunctionJoinsItsWave) {
  auto core = GraphCore::create();
  NodeHandle s = make_state(core, iv(1));
  std::uint64_t depth_before = 99, depth_after = 99, scope_before = 0, scope_after = 1;
  NodeHandle m = make_node(core, deps_of({&s}), fn_of([&](RunContext& ctx) {
                             depth_before = host_boundary_depth();
                             scope_before = installed_scope_id();
                             emit_data(ctx, ctx.inputs[0].current);
                             depth_after = host_boundary_depth();
                             scope_after = installed_scope_id();
                           }));
  auto sub = subscribe_recording(m);
  node_set(s, iv(2));
  EXPECT_EQ(depth_before, 1u);
  EXPECT_EQ(depth_after, depth_before);
  EXPECT_NE(scope_before, 0u);
  EXPECT_EQ(scope_after, scope_before);
  EXPECT_EQ(sub.log().back(), "DATA 2");
}

TEST(OperationEdges, ImmediateSubscribeCountsADepThatAQueuedRewireAdds) {
  auto core = GraphCore::create();
  NodeHandle a = make_state(core, iv(1));
  NodeHandle b = make_state(core, iv(2));
  NodeHandle n = make_map(core, a, [](int x) { return x; });
  auto sub = subscribe_recording(n);
  auto last = fn_of([](RunContext& ctx) { emit_data(ctx, ctx.inputs.back().current); });
  std::vector<NodeId> deps_after_call;
  run_batch([&] {
    batch_defer_rewire(n, SubscribeDep{last, b.promote_counted()});
    HostBoundaryScope boundary;
    node_conformance_immediate_subscribe_dep(n, b.promote_counted(), last);
    for (const UncountedNode& d : counted_deps(n)) deps_after_call.push_back(d.id());
    return false;
  });
  EXPECT_EQ(deps_after_call, (std::vector<NodeId>{a.id(), b.id()}));
  std::vector<NodeId> deps_now;
  for (const UncountedNode& d : counted_deps(n)) deps_now.push_back(d.id());
  EXPECT_EQ(deps_now, deps_after_call);  // the queued rewire found b already there
}

TEST(UpEdges, APullMatchedTwiceInOneCallIsServedOnce) {
  auto core = GraphCore::create();
  int runs = 0;
  NodeHandle src = pulled_source(core, runs);
  NodeHandle m = make_map(core, src, [](int x) { return x; });
  auto sub = subscribe_recording(m);
  const int before = runs;
  MessageList l;
  l.push_back(Message::pull("p"));
  l.push_back(Message::pull("p"));
  node_up_in_wave_scope(m, std::move(l));
  EXPECT_EQ(runs, before + 1);
}

TEST(UpEdges, APullReachingANodeBeingServedIsDropped) {
  auto core = GraphCore::create();
  int runs = 0;
  bool asked = false;
  NodeHandle src = make_node(core, {}, fn_of([&](RunContext& ctx) {
                               ++runs;
                               if (ctx.pull && !asked) {
                                 asked = true;
                                 up(ctx.node, one_message(Message::pull("p")), std::nullopt);
                                 EXPECT_FALSE(aux(ctx.node).rare().pending_pull);
                               }
                               emit_data(ctx, iv(runs));
                             }));
  set_pull_id(src, std::string("p"));
  auto sub = subscribe_recording(src);
  const int before = runs;
  node_conformance_up_pull(src, "p", nullptr);
  EXPECT_TRUE(asked);
  EXPECT_EQ(runs, before + 1);
  EXPECT_FALSE(aux(src).rare().pending_pull);
}

TEST(UpEdges, APullMatchingItsFirstNodeIsServedThereWhateverTheTarget) {
  auto core = GraphCore::create();
  int runs = 0;
  NodeHandle src = pulled_source(core, runs);
  auto sub = subscribe_recording(src);
  const int before = runs;
  node_conformance_up_pull_toward(src, 5, "p", nullptr);
  EXPECT_EQ(runs, before + 1);
}

TEST(UpEdges, AMatchedPullStopsAtItsNodeWhileTheOtherDepsAreStillWalked) {
  auto core = GraphCore::create();
  int above = 0, beside = 0;
  NodeHandle deep = pulled_source(core, above);  // behind the matching node
  NodeHandle match = make_map(core, deep, [](int x) { return x; });
  set_pull_id(match, std::string("p"));
  NodeHandle side = pulled_source(core, beside);
  NodeSpec partial;
  partial.partial = 1;
  NodeHandle n = make_node(core, deps_of({&match, &side}), fn_of([](RunContext&) {}), partial);
  auto sub = subscribe_recording(n);
  const int above_before = above, beside_before = beside;
  node_conformance_up_pull(n, "p", nullptr);
  EXPECT_EQ(above, above_before);
  EXPECT_EQ(beside, beside_before + 1);
}

TEST(UpEdges, DirtyAndTeardownSentUpChangeNoNode) {
  auto core = GraphCore::create();
  NodeHandle s = make_state(core, iv(1));
  NodeHandle m = make_map(core, s, [](int x) { return x; });
  auto ss = subscribe_recording(s);
  auto sm = subscribe_recording(m);
  node_up_in_wave_scope(m, one_message(Message::teardown()));
  node_up_in_wave_scope(m, one_message(Message::dirty()));
  EXPECT_EQ(ss.log(), L({"START", "DATA 1"}));
  EXPECT_EQ(sm.log(), L({"START", "DATA 1"}));
  EXPECT_EQ(status_of(s), NodeStatus::Settled);
  EXPECT_EQ(status_of(m), NodeStatus::Settled);
}

TEST(BatchEdges, ANestedBatchDeliversOnlyWhenTheOutermostEnds) {
  auto core = GraphCore::create();
  NodeHandle s = make_state(core, iv(0));
  auto sub = subscribe_recording(s);
  std::size_t after_inner = 0;
  bool active_at_flush = false;
  sub.sink->on_message = [&](const Message& m) {
    if (m.kind() == MessageKind::Data && int_of(m.value()) == 1) active_at_flush = batch_is_active();
  };
  run_batch([&] {
    run_batch([&] {
      node_set(s, iv(1));
      return false;
    });
    after_inner = sub.log().size();
    return false;
  });
  EXPECT_EQ(after_inner, 3u);  // START, DATA 0, DIRTY
  EXPECT_EQ(sub.log(), L({"START", "DATA 0", "DIRTY", "DATA 1"}));
  EXPECT_TRUE(active_at_flush);
  EXPECT_FALSE(batch_is_active());
}

TEST(BatchEdges, ANestedBatchsFailureFailsTheOutermost) {
  struct Case {
    bool inner_fails;
    std::vector<std::string> expected;
  };
  for (const Case& c : {Case{false, {"START", "DATA 0", "DIRTY", "DATA 1"}},
                        Case{true, {"START", "DATA 0", "DIRTY", "RESOLVED"}}}) {
    auto core = GraphCore::create();
    NodeHandle s = make_state(core, iv(0));
    auto sub = subscribe_recording(s);
    run_batch([&] {
      node_set(s, iv(1));
      run_batch([&] { return c.inner_fails; });
      return false;
    });
    EXPECT_EQ(sub.log(), c.expected) << "inner fails: " << c.inner_fails;
    // The next batch starts unmarked.
    run_batch([&] {
      node_set(s, iv(2));
      return false;
    });
    EXPECT_EQ(sub.log().back(), "DATA 2") << "inner fails: " << c.inner_fails;
    EXPECT_FALSE(batch_is_active());
  }
}

TEST(BatchEdges, ABatchOpenedDuringTheFlushIsNestedButDeliversAtOnce) {
  auto core = GraphCore::create();
  NodeHandle a = make_state(core, iv(0));
  NodeHandle b = make_state(core, iv(0));
  auto sa = subscribe_recording(a);
  auto sb = subscribe_recording(b);
  std::size_t b_log_inside = 0;
  sa.sink->on_message = [&](const Message& m) {
    if (m.kind() != MessageKind::Data || int_of(m.value()) != 1) return;
    run_batch([&] {
      node_set(b, iv(5));
      b_log_inside = sb.log().size();
      return true;  // too late to roll anything back
    });
  };
  run_batch([&] {
    node_set(a, iv(1));
    return false;
  });
  EXPECT_EQ(b_log_inside, 4u);
  EXPECT_EQ(sb.log(), L({"START", "DATA 0", "DIRTY", "DATA 5"}));
  EXPECT_EQ(sa.log(), L({"START", "DATA 0", "DIRTY", "DATA 1"}));
}

TEST(BatchEdges, ManyNodesSetOverAndOverDeliverTheirLastValueInFirstDeferralOrder) {
  auto core = GraphCore::create();
  constexpr int kNodes = 40;  // enough to make the batch's lookup grow
  std::vector<NodeHandle> nodes;
  std::vector<Subscribed> subs;
  std::vector<std::string> order;
  for (int i = 0; i < kNodes; ++i) {
    nodes.push_back(make_state(core, iv(0)));
    subs.push_back(subscribe_recording(nodes.back()));
    subs.back().sink->on_message = [&order, i](const Message& m) {
      if (m.kind() == MessageKind::Data) order.push_back(std::to_string(i));
    };
  }
  order.clear();
  run_batch([&] {
    for (int i = 0; i < kNodes; ++i) node_set(nodes[i], iv(i));
    for (int i = kNodes - 1; i >= 0; --i) node_set(nodes[i], iv(100 + i));
    for (int i = 0; i < kNodes; i += 2) node_set(nodes[i], iv(200 + i));
    return false;
  });
  std::vector<std::string> first_deferral_order;
  for (int i = 0; i < kNodes; ++i) {
    first_deferral_order.push_back(std::to_string(i));
    const int last = i % 2 == 0 ? 200 + i : 100 + i;
    EXPECT_EQ(subs[i].log(), L({"START", "DATA 0", "DIRTY", "DATA " + std::to_string(last)})) << "node " << i;
  }
  EXPECT_EQ(order, first_deferral_order);
}

// A node set several times in a row among others, over two batches whose
// records sit in different places: each delivers its own last value.
TEST(BatchEdges, NodesSetInRunsDeliverTheirOwnLastValue) {
  auto core = GraphCore::create();
  std::vector<NodeHandle> nodes;
  std::vector<Subscribed> subs;
  std::vector<std::string> order;
  for (int i = 0; i < 2; ++i) {
    nodes.push_back(make_state(core, iv(0)));
    subs.push_back(subscribe_recording(nodes[i]));
    subs.back().sink->on_message = [&order, i](const Message& m) {
      if (m.kind() == MessageKind::Data) order.push_back(std::to_string(i));
    };
  }
  struct Set {
    int node;
    int value;
  };
  const std::vector<std::vector<Set>> batches{
      {{0, 1}, {1, 2}, {0, 3}, {0, 4}, {0, 5}, {1, 6}, {0, 7}, {0, 8}},
      {{1, 10}, {0, 11}, {0, 12}, {1, 13}, {1, 14}},
  };
  order.clear();
  for (const std::vector<Set>& sets : batches) {
    run_batch([&] {
      for (const Set& s : sets) node_set(nodes[s.node], iv(s.value));
      return false;
    });
  }
  EXPECT_EQ(subs[0].log(), L({"START", "DATA 0", "DIRTY", "DATA 8", "DIRTY", "DATA 12"}));
  EXPECT_EQ(subs[1].log(), L({"START", "DATA 0", "DIRTY", "DATA 6", "DIRTY", "DATA 14"}));
  EXPECT_EQ(order, L({"0", "1", "1", "0"}));
}

// Nodes set in a batch whose last handle goes before its end are kept by the
// batch's pins and released at its end in first-deferral order, a node of
// another core among them; the nodes kept stay, unpinned.
TEST(BatchEdges, NodesWhoseLastHandleGoesInABatchAreReleasedAtItsEndInDeferralOrder) {
  struct Case {
    std::vector<std::size_t> dropped;  // inside the batch, after every set
    std::vector<std::string> released;
    std::vector<std::size_t> set = {0, 1, 2};  // the first-deferral order
  };
  const std::vector<Case> cases = {
      {{}, {}},
      {{0}, {"a"}},
      {{1}, {"x"}},
      {{2, 0}, {"a", "b"}},
      {{1, 2, 0}, {"a", "x", "b"}},
      {{0, 1}, {"x", "a"}, {1, 0, 2}},
      {{2, 1}, {"b", "x"}, {2, 0, 1}},
  };
  for (const Case& c : cases) {
    ReleaseLoggedStates g;
    run_batch([&] {
      for (std::size_t i : c.set) node_set(g.views[i], iv(static_cast<int>(i) + 1));
      for (std::size_t i : c.dropped) g.nodes[i].drop();
      EXPECT_TRUE(g.log.empty());
      return false;
    });
    g.expect_released(c.dropped, c.released);
  }
}

// A set defers its one message as it is; a down of a list defers the list.
// Mixed in one batch, the node delivers the same as when every step is a list.
TEST(BatchEdges, ASetAndADownOfAListDeferAlike) {
  struct Step {
    int value;
    bool complete;  // the step is the list DATA, COMPLETE
  };
  const std::vector<std::vector<Step>> cases = {
      {{1, false}},
      {{1, false}, {2, false}},
      {{1, true}, {2, false}},
      {{1, false}, {2, true}},
      {{1, false}, {2, false}, {3, true}, {4, false}},
  };
  auto run_case = [](const std::vector<Step>& steps, bool sets) {
    auto core = GraphCore::create();
    NodeHandle s = make_state(core, iv(0));
    NodeHandle m = make_map(core, s, [](int x) { return x + 1; });
    auto sub = subscribe_recording(m);
    run_batch([&] {
      for (const Step& step : steps) {
        MessageList list = one_message(Message::data(iv(step.value)));
        if (step.complete) list.push_back(Message::complete());
        if (sets && !step.complete) {
          node_set(s, iv(step.value));
        } else {
          node_down_in_wave_scope(s, std::move(list));
        }
      }
      return false;
    });
    return sub.log();
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    std::vector<std::string> through_sets = run_case(cases[i], true);
    EXPECT_EQ(through_sets, run_case(cases[i], false)) << "case " << i;
    EXPECT_NE(through_sets.back(), "DIRTY") << "case " << i;
  }
}

// While a wave runs, the owning operation's core is served without its weak
// reference; once the scope closes, normally or after a fault, it is not.
TEST(OperationEdges, TheOwnersCoreIsServedOnlyWhileItsWaveRuns) {
  for (const bool faults : {false, true}) {
    SCOPED_TRACE(faults ? "faulting wave" : "plain wave");
    auto core = GraphCore::create();
    auto other = GraphCore::create();
    NodeHandle s = make_state(core, iv(1));
    CoreRef owner_seen, other_seen;
    bool installed_seen = false;
    NodeHandle m = make_node(core, deps_of({&s}), fn_of([&](RunContext& ctx) {
                               installed_seen = wave_scope_installed();
                               owner_seen = lock_core(WeakCore{}, core->id());
                               other_seen = lock_core(WeakCore{}, other->id());
                               if (faults && int_of(ctx.inputs[0].current) == 2) fault("boom");
                               emit_data(ctx, ctx.inputs[0].current);
                             }));
    auto sub = subscribe_recording(m);
    node_set(s, iv(2));
    EXPECT_TRUE(installed_seen);
    EXPECT_EQ(owner_seen, core);
    EXPECT_EQ(other_seen, nullptr);
    EXPECT_EQ(sub.log().back(), faults ? "ERROR boom" : "DATA 2");
    EXPECT_FALSE(wave_scope_installed());
    EXPECT_EQ(installed_scope_id(), 0u);
    EXPECT_EQ(lock_core(WeakCore{}, core->id()), nullptr);
  }
}
