// A node held by its first-run gate answers the DIRTY it sent with RESOLVED
// once its deps have settled, and goes back to sentinel; a node held back by
// a pause or a pull keeps its owed run instead, and a node whose gate opens
// runs. The same from the node's own core's wave and from another core's,
// whose drain takes the node by other roads.

#include <gtest/gtest.h>

#include <functional>

#include "node/topology/node_ops.hpp"
#include "node/topology/rewire.hpp"
#include "node/wave/batch.hpp"
#include "node/wave/pending.hpp"
#include "node/wave/up.hpp"
#include "test_support.hpp"

using namespace korvalinth;
using namespace korvalinth::test;

namespace {

const NodeState& state_of(const UncountedNode& n) { return n.core_ref().unguarded().edge_at(n.index()).state; }

SharedNodeFn emits_nothing() {
  return fn_of([](RunContext&) {});
}

NodeHandle waiting_for_a_pull(NodeHandle n) {
  set_pull_id(n, std::string("p"));
  return n;
}

// One change, made in a wave of its own, and what the watched node shows
// after it.
struct Step {
  std::function<void()> change;
  std::vector<std::string> log;
  NodeStatus status;
  bool run_owed = false;
};

// A graph on one core; watched is the node whose messages are recorded.
struct Built {
  NodeHandle watched;
  std::vector<NodeHandle> kept;
  std::vector<Step> steps;
};

// s -> quiet (never emits) -> d.
Built behind_a_quiet_dep(const CoreRef& core, bool pull_id = false) {
  Built b;
  NodeHandle s = make_state(core, iv(0));
  NodeHandle quiet = make_node(core, deps_of({&s}), emits_nothing());
  b.watched = make_map(core, quiet, [](int x) { return x; });
  if (pull_id) b.watched = waiting_for_a_pull(std::move(b.watched));
  b.kept.push_back(std::move(s));
  b.kept.push_back(std::move(quiet));
  return b;
}

// d over a (a value) and b (none yet).
Built beside_a_dep_without_value(const CoreRef& core) {
  Built b;
  NodeHandle a = make_state(core, iv(1));
  NodeHandle none = make_state(core);
  b.watched = make_node(core, deps_of({&a, &none}), summing());
  b.kept.push_back(std::move(a));
  b.kept.push_back(std::move(none));
  return b;
}

const std::vector<std::string> kResolved = {"START", "DIRTY", "RESOLVED"};
const std::vector<std::string> kDirty = {"START", "DIRTY"};

// n set to v, after which the watched node has resolved.
Step resolves_when_set(const NodeHandle& n, int v) {
  return {[n = n.uncounted(), v] { node_set(n, iv(v)); }, kResolved, NodeStatus::Sentinel};
}

struct Case {
  const char* name;
  std::function<Built(const CoreRef&)> build;
};

const std::vector<Case>& cases() {
  static const std::vector<Case> all = {
      {"one dep that never emits",
       [](const CoreRef& core) {
         Built b = behind_a_quiet_dep(core);
         b.steps = {resolves_when_set(b.kept[0], 1)};
         return b;
       }},
      {"one dep settles, the other has no value",
       [](const CoreRef& core) {
         Built b = beside_a_dep_without_value(core);
         b.steps = {resolves_when_set(b.kept[0], 2)};
         return b;
       }},
      {"two deps settle in one wave, one of them never emits",
       [](const CoreRef& core) {
         Built b;
         NodeHandle s = make_state(core, iv(0));
         NodeHandle plus = make_map(core, s, [](int x) { return x + 1; });
         NodeHandle quiet = make_node(core, deps_of({&s}), emits_nothing());
         b.watched = make_node(core, deps_of({&plus, &quiet}), summing());
         b.steps = {resolves_when_set(s, 1)};
         for (NodeHandle* n : {&s, &plus, &quiet}) b.kept.push_back(std::move(*n));
         return b;
       }},
      {"the gate opens later: the node runs",
       [](const CoreRef& core) {
         Built b = beside_a_dep_without_value(core);
         const UncountedNode none = b.kept[1].uncounted();
         b.steps = {resolves_when_set(b.kept[0], 2),
                    {[none] { node_set(none, iv(5)); }, {"START", "DIRTY", "RESOLVED", "DIRTY", "DATA 7"},
                     NodeStatus::Settled}};
         return b;
       }},
      {"the set inside a batch",
       [](const CoreRef& core) {
         Built b = behind_a_quiet_dep(core);
         const UncountedNode s = b.kept[0].uncounted();
         b.steps = {{[s] {
                       run_batch([s] {
                         node_set(s, iv(1));
                         return false;
                       });
                     },
                     kResolved, NodeStatus::Sentinel}};
         return b;
       }},
      {"the node paused keeps its run owed until it resumes",
       [](const CoreRef& core) {
         Built b = behind_a_quiet_dep(core);
         node_pause(b.watched, "p");
         const UncountedNode s = b.kept[0].uncounted(), d = b.watched.uncounted();
         b.steps = {{[s] { node_set(s, iv(1)); }, kDirty, NodeStatus::Dirty, true},
                    {[d] { node_resume(d, "p"); }, kResolved, NodeStatus::Sentinel}};
         return b;
       }},
      {"a paused dep leaves the node pending until it resumes",
       [](const CoreRef& core) {
         Built b = behind_a_quiet_dep(core);
         node_pause(b.kept[1], "p");
         const UncountedNode s = b.kept[0].uncounted(), quiet = b.kept[1].uncounted();
         b.steps = {{[s] { node_set(s, iv(1)); }, kDirty, NodeStatus::Dirty},
                    {[quiet] { node_resume(quiet, "p"); }, kResolved, NodeStatus::Sentinel}};
         return b;
       }},
      {"the node waiting for a pull owes its run and sends nothing",
       [](const CoreRef& core) {
         Built b = behind_a_quiet_dep(core, true);
         const UncountedNode s = b.kept[0].uncounted(), d = b.watched.uncounted();
         b.steps = {{[s] { node_set(s, iv(1)); }, {"START"}, NodeStatus::Sentinel, true},
                    {[d] { node_conformance_up_pull(d, "p", nullptr); }, {"START"}, NodeStatus::Sentinel, true}};
         return b;
       }},
      {"a rewire drops the pending dep and leaves the gate shut",
       [](const CoreRef& core) {
         Built b = beside_a_dep_without_value(core);
         const UncountedNode a = b.kept[0].uncounted(), d = b.watched.uncounted(), none = b.kept[1].uncounted();
         b.steps = {{[a] { node_down_in_wave_scope(a, one_message(Message::dirty())); }, kDirty, NodeStatus::Dirty},
                    {[d, none] {
                       std::vector<NodeHandle> deps;
                       deps.push_back(none.promote_counted());
                       rewire(d, ReplaceDeps{std::move(deps), summing(100)});
                     },
                     kResolved, NodeStatus::Sentinel}};
         return b;
       }},
  };
  return all;
}

// Where each step's change is made: a wave of the shape's own core, or the
// run of a node of another core (the shape's nodes then are not the wave
// owner's).
enum class From { OwnWave, OtherCoresRun };

void run_case(const Case& c, From from) {
  auto core = GraphCore::create();
  Built built = c.build(core);
  auto sub = subscribe_recording(built.watched);
  auto other = GraphCore::create();
  NodeHandle trigger = make_state(other, iv(0));
  std::function<void()> change;
  NodeHandle changer = make_node(other, deps_of({&trigger}), fn_of([&change](RunContext& ctx) {
                                   if (int_of(ctx.inputs[0].current) != 0) change();
                                 }));
  auto changer_sub = subscribe_recording(changer);
  int round = 0;
  for (const Step& step : built.steps) {
    SCOPED_TRACE(round);
    if (from == From::OwnWave) {
      step.change();
    } else {
      change = step.change;
      node_set(trigger, iv(++round));
    }
    EXPECT_EQ(sub.log(), step.log);
    EXPECT_EQ(status_of(built.watched), step.status);
    EXPECT_EQ(state_of(built.watched).run_owed(), step.run_owed);
  }
  if (!built.steps.back().run_owed) EXPECT_TRUE(node_is_quiescent(built.watched));
  for (const std::string& m : changer_sub.log()) EXPECT_EQ(m.rfind("ERROR", 0), std::string::npos) << m;
}

}  // namespace

TEST(GatedResolve, ANodeHeldByItsGateResolvesUnlessItsRunIsOwed) {
  for (const Case& c : cases()) {
    SCOPED_TRACE(c.name);
    {
      SCOPED_TRACE("own wave");
      run_case(c, From::OwnWave);
    }
    {
      SCOPED_TRACE("another core's run");
      run_case(c, From::OtherCoresRun);
    }
  }
}

// The drain's check reads a node's entries as the rules ask them; the pull
// service, the resume and the rewire gather them first. Both decide alike,
// the query without noting the owed run that the drain's check notes.
TEST(GatedResolve, TheDrainsCheckAndTheGatheredRulesDecideAlike) {
  struct Shape {
    const char* name;
    std::function<NodeHandle(const CoreRef&, std::vector<NodeHandle>&)> build;
    RunDecision decision;
  };
  const auto gated = [](const CoreRef& core, std::vector<NodeHandle>& kept, NodeSpec spec = {}) {
    kept.push_back(make_state(core, iv(1)));
    kept.push_back(make_state(core));
    return make_node(core, deps_of({&kept[0], &kept[1]}), summing(), std::move(spec));
  };
  const std::vector<Shape> shapes = {
      {"gate shut", [&](const CoreRef& core, auto& kept) { return gated(core, kept); }, RunDecision::Resolve},
      {"gate shut, partial input",
       [&](const CoreRef& core, auto& kept) {
         NodeSpec s;
         s.partial = 1;
         return gated(core, kept, s);
       },
       RunDecision::Run},
      {"gate open, ran before",
       [](const CoreRef& core, auto& kept) {
         kept.push_back(make_state(core, iv(1)));
         return make_map(core, kept[0], [](int x) { return x; });
       },
       RunDecision::Run},
      {"no function",
       [](const CoreRef& core, auto& kept) {
         kept.push_back(make_state(core, iv(1)));
         return construct_node(core, deps_of({&kept[0]}), std::nullopt, Dispatcher::thread_default(), nullptr, {});
       },
       RunDecision::Settle},
      {"gate shut, paused",
       [&](const CoreRef& core, auto& kept) {
         NodeHandle n = gated(core, kept);
         node_pause(n, "p");
         return n;
       },
       RunDecision::Nothing},
      {"gate shut, waiting for a pull",
       [&](const CoreRef& core, auto& kept) { return waiting_for_a_pull(gated(core, kept)); },
       RunDecision::Nothing},
  };
  for (const Shape& shape : shapes) {
    SCOPED_TRACE(shape.name);
    auto core = GraphCore::create();
    std::vector<NodeHandle> kept;
    NodeHandle n = shape.build(core, kept);
    auto sub = subscribe_recording(n);
    auto a = core->borrow_mut();
    // Its DIRTY out and no dep pending: the run check is due.
    NodeState& state = a->edge_at(n.index()).state;
    NodeStateTestAccess::set(state, NodeState::Flag::DirtySent, true);
    NodeStateTestAccess::set_pending_count(state, 0);
    const LiveSlotsWithAux s = live_slots_with_aux(*a, n.key());
    NodeStateTestAccess::set(state, NodeState::Flag::RunOwed, false);
    const RunDecision gathered = state.run_check_outcome(run_inputs(s), run_held_back(s.config, s.aux));
    EXPECT_EQ(gathered, shape.decision);
    EXPECT_FALSE(state.run_owed());  // the query notes nothing
    EXPECT_EQ(current_run_decision(*a, n.index()), gathered);
    EXPECT_EQ(state.run_owed(), shape.decision == RunDecision::Nothing);
  }
}
