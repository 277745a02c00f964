// NodeState's transitions and rules, as tables: a planted state, one verb,
// what the verb says must be delivered, and the state it leaves.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "node/arena/node_state.hpp"
#include "node_state_access.hpp"

namespace korvalinth {
namespace {

using Flag = NodeState::Flag;
using Access = NodeStateTestAccess;

std::uint16_t mask(std::initializer_list<Flag> flags) {
  std::uint16_t m = 0;
  for (Flag f : flags) m |= static_cast<std::uint16_t>(f);
  return m;
}

struct Planted {
  NodeStatus status = NodeStatus::Sentinel;
  std::uint16_t flags = 0;
  std::uint32_t pending = 0;
};

NodeState plant(const Planted& p) {
  NodeState s;
  Access::set_status(s, p.status);
  Access::set_pending_count(s, p.pending);
  for (std::uint16_t bit = 1; bit != 0; bit = static_cast<std::uint16_t>(bit << 1))
    if (p.flags & bit) Access::set(s, static_cast<Flag>(bit), true);
  return s;
}

void expect_state(const NodeState& s, const Planted& want, const std::string& name) {
  EXPECT_EQ(s.status(), want.status) << name;
  EXPECT_EQ(Access::flags(s), want.flags) << name;
  EXPECT_EQ(s.pending_count(), want.pending) << name;
}

// One verb on the node's own state; its result as an int (bools as 0/1).
struct Transition {
  std::string name;
  Planted before;
  std::function<int(NodeState&)> verb;
  int delivers;
  Planted after;
};

int as_int(bool b) { return b ? 1 : 0; }

TEST(NodeState, OwnMessageTransitions) {
  const auto D = NodeStatus::Dirty, S = NodeStatus::Settled, Z = NodeStatus::Sentinel;
  const std::vector<Transition> cases = {
      {"dirty once", {S, mask({Flag::HasData})}, [](NodeState& s) { return as_int(s.mark_dirty()); }, 1,
       {D, mask({Flag::HasData, Flag::DirtySent})}},
      {"dirty again is silent", {S, mask({Flag::DirtySent})}, [](NodeState& s) { return as_int(s.mark_dirty()); }, 0,
       {S, mask({Flag::DirtySent})}},
      {"rerun marks dirty even when sent", {S, mask({Flag::DirtySent})},
       [](NodeState& s) { return as_int(s.mark_dirty_for_rerun()); }, 0, {D, mask({Flag::DirtySent})}},
      {"data", {D, mask({Flag::DirtySent})}, [](NodeState& s) { s.take_data(); return 0; }, 0,
       {S, mask({Flag::DirtySent, Flag::HasData, Flag::Emitted})}},
      {"resolved with a value", {D, mask({Flag::HasData})}, [](NodeState& s) { s.take_resolved(); return 0; }, 0,
       {NodeStatus::Resolved, mask({Flag::HasData, Flag::Emitted})}},
      {"resolved without a value", {D, 0}, [](NodeState& s) { s.take_resolved(); return 0; }, 0,
       {Z, mask({Flag::Emitted})}},
      {"invalidate clears a value", {S, mask({Flag::HasData, Flag::DirtySent})},
       [](NodeState& s) { return as_int(s.invalidate()); }, 1, {Z, mask({Flag::DirtySent})}},
      {"invalidate without a value", {NodeStatus::Resolved, 0}, [](NodeState& s) { return as_int(s.invalidate()); },
       0, {NodeStatus::Resolved, 0}},
      {"error ends pulls and the owed run",
       {S, mask({Flag::HasData, Flag::PullInProgress, Flag::ServingPull, Flag::RunOwed})},
       [](NodeState& s) { return as_int(s.terminate(true)); }, 1,
       {NodeStatus::Errored, mask({Flag::HasData, Flag::Terminal})}},
      {"a second terminal is ignored", {NodeStatus::Completed, mask({Flag::Terminal})},
       [](NodeState& s) { return as_int(s.terminate(true)); }, 0, {NodeStatus::Completed, mask({Flag::Terminal})}},
      {"end of wave", {S, mask({Flag::DirtySent, Flag::Emitted, Flag::HasData})},
       [](NodeState& s) { s.end_wave(); return 0; }, 0, {S, mask({Flag::HasData})}},
      {"end of wave kept after an emit", {S, mask({Flag::DirtySent, Flag::Emitted})},
       [](NodeState& s) { s.end_wave_unless_settled(); return 0; }, 0, {S, mask({Flag::DirtySent, Flag::Emitted})}},
      {"end of wave kept while batch-queued", {D, mask({Flag::DirtySent, Flag::BatchQueued})},
       [](NodeState& s) { s.end_wave_unless_settled(); return 0; }, 0,
       {D, mask({Flag::DirtySent, Flag::BatchQueued})}},
      {"end of wave after a quiet run", {D, mask({Flag::DirtySent})},
       [](NodeState& s) { s.end_wave_unless_settled(); return 0; }, 0, {D, 0}},
      {"leave the batch", {D, mask({Flag::BatchQueued})}, [](NodeState& s) { return as_int(s.leave_batch()); }, 1,
       {D, 0}},
      {"run begins", {D, mask({Flag::Emitted})}, [](NodeState& s) { s.begin_run(); return 0; }, 0,
       {D, mask({Flag::Running})}},
      {"serving a pull ends", {S, mask({Flag::PullInProgress, Flag::ServingPull, Flag::RunOwed})},
       [](NodeState& s) { s.end_pull(); return 0; }, 0, {S, mask({Flag::RunOwed})}},
      {"deactivate drops the value and the wave",
       {D, mask({Flag::Activated, Flag::HasData, Flag::DirtySent, Flag::RunOwed, Flag::PullInProgress}), 2},
       [](NodeState& s) { s.deactivate(true); return 0; }, 0, {Z, 0, 0}},
      {"deactivate a plain source keeps its value", {S, mask({Flag::Activated, Flag::HasData})},
       [](NodeState& s) { s.deactivate(false); return 0; }, 0, {S, mask({Flag::HasData})}},
      {"take the owed run", {S, mask({Flag::RunOwed})}, [](NodeState& s) { return as_int(s.take_run_owed()); }, 1,
       {S, 0}},
      {"a rewire begins afresh", {S, mask({Flag::RunAfterMutation})},
       [](NodeState& s) { s.begin_mutation(); return 0; }, 0, {S, mask({Flag::MutationInFlight})}},
  };
  for (const Transition& c : cases) {
    NodeState s = plant(c.before);
    EXPECT_EQ(c.verb(s), c.delivers) << c.name;
    expect_state(s, c.after, c.name);
  }
}

TEST(NodeState, DepTransitionsCountPendingDeps) {
  struct Case {
    std::string name;
    Planted before;
    bool dep_pending;
    std::function<int(NodeState&, DepSlot&)> verb;
    int delivers;
    Planted after;
    bool dep_pending_after;
  };
  const auto D = NodeStatus::Dirty, S = NodeStatus::Settled;
  auto dirty = [](bool gated) {
    return [gated](NodeState& s, DepSlot& d) { return as_int(s.dep_dirty(d, gated)); };
  };
  auto settled = [](NodeState& s, DepSlot& d) { return as_int(s.dep_settled(d)); };
  const std::vector<Case> cases = {
      {"first dirty dep announces", {S, 0, 0}, false, dirty(false), 1, {D, mask({Flag::DirtySent}), 1}, true},
      {"a pull-gated node stays quiet", {S, 0, 0}, false, dirty(true), 0, {S, 0, 1}, true},
      {"second dirty dep only counts", {D, mask({Flag::DirtySent}), 1}, false, dirty(false), 0,
       {D, mask({Flag::DirtySent}), 2}, true},
      {"the same dep twice counts once", {D, mask({Flag::DirtySent}), 1}, true, dirty(false), 0,
       {D, mask({Flag::DirtySent}), 1}, true},
      {"a pending dep settles", {D, mask({Flag::DirtySent}), 2}, true, settled, 1, {D, mask({Flag::DirtySent}), 1},
       false},
      {"a dep not pending changes nothing", {D, 0, 1}, false, settled, 0, {D, 0, 1}, false},
  };
  for (const Case& c : cases) {
    NodeState s = plant(c.before);
    DepSlot d;
    d.pending = c.dep_pending ? 1 : 0;
    EXPECT_EQ(c.verb(s, d), c.delivers) << c.name;
    expect_state(s, c.after, c.name);
    EXPECT_EQ(d.pending != 0, c.dep_pending_after) << c.name;
  }
}

TEST(NodeState, SettledDepsRunCheckOrOweTheRun) {
  struct Case {
    std::string name;
    Planted before;
    bool held_back;
    bool due;
    Planted after;
  };
  const auto D = NodeStatus::Dirty;
  const std::vector<Case> cases = {
      {"no dep pending: check due", {D, 0, 0}, true, true, {D, 0, 0}},
      {"a dep pending, held back: run owed", {D, 0, 1}, true, false, {D, mask({Flag::RunOwed}), 1}},
      {"a dep pending, during a rewire: nothing owed", {D, mask({Flag::MutationInFlight}), 1}, true, false,
       {D, mask({Flag::MutationInFlight}), 1}},
      {"a dep pending, free: wait", {D, 0, 1}, false, false, {D, 0, 1}},
  };
  for (const Case& c : cases) {
    NodeState s = plant(c.before);
    EXPECT_EQ(s.deps_settled_or_owe(c.held_back), c.due) << c.name;
    expect_state(s, c.after, c.name);
  }
}

// A dep's input as the gate reads it: a value, a terminal.
struct DepInputs {
  bool value;
  bool terminal;
};

std::vector<DepSlot> dep_slots(const std::vector<DepInputs>& inputs) {
  std::vector<DepSlot> slots(inputs.size());
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    slots[i].has_value = inputs[i].value ? 1 : 0;
    slots[i].terminal.present = inputs[i].terminal;
  }
  return slots;
}

TEST(NodeState, FirstRunGateAndRunDecision) {
  struct Case {
    std::string name;
    std::vector<DepInputs> deps;
    bool has_fn, has_run, partial, terminal_as_input;
    Planted before;
    bool held_back;
    RunDecision decision;
    Planted after;
  };
  const auto D = NodeStatus::Dirty;
  std::vector<Case> cases;
  auto add = [&](std::string name, std::vector<DepInputs> deps, bool has_fn, bool has_run, bool partial,
                 bool terminal_as_input, Planted before, bool held, RunDecision decision, Planted after) {
    cases.push_back(Case{std::move(name), deps, has_fn, has_run, partial, terminal_as_input, before, held,
                         decision, after});
  };
  using R = RunDecision;
  add("every dep has a value", {{true, false}, {true, false}}, true, false, false, false, {D}, false,
      R::Run, {D});
  add("a dep without a value", {{true, false}, {false, false}}, true, false, false, false, {D},
      false, R::Nothing, {D});
  add("ran before", {{false, false}}, true, true, false, false, {D}, false, R::Run, {D});
  add("partial input", {{false, false}}, true, false, true, false, {D}, false, R::Run, {D});
  add("a terminal counts as input", {{false, true}}, true, false, false, true, {D}, false, R::Run, {D});
  add("a terminal is no input", {{false, true}}, true, false, false, false, {D}, false, R::Nothing, {D});
  add("no function settles", {{false, false}}, false, false, false, false, {D}, false, R::Settle, {D});
  add("a dep pending", {{true, false}}, true, false, false, false, {D, 0, 1}, false, R::Nothing, {D, 0, 1});
  add("held back owes the run", {{true, false}}, true, false, false, false, {D}, true, R::Nothing,
      {D, mask({Flag::RunOwed})});
  add("during a rewire it reruns after", {{true, false}}, true, false, false, false,
      {D, mask({Flag::MutationInFlight})}, true, R::Nothing,
      {D, mask({Flag::MutationInFlight, Flag::RunAfterMutation})});
  for (const Case& c : cases) {
    const std::vector<DepSlot> deps = dep_slots(c.deps);
    const RunInputs in{deps, c.has_fn, c.has_run, c.partial, c.terminal_as_input, c.deps.empty()};
    NodeState s = plant(c.before);
    EXPECT_EQ(s.decide_run(in, c.held_back), c.decision) << c.name;
    expect_state(s, c.after, c.name);
  }
  const std::vector<DepSlot> none;
  EXPECT_TRUE(NodeState::may_run(RunInputs{none, true, false, false, false, true})) << "no deps";
}

TEST(NodeState, ServingAPull) {
  struct Case {
    std::string name;
    Planted before;
    bool has_fn;
    bool dep_has_value;
    bool serves;
    Planted after;
  };
  const auto D = NodeStatus::Dirty;
  const std::vector<Case> cases = {
      {"owed run that may run", {D, mask({Flag::RunOwed, Flag::DirtySent})}, true, true, true,
       {D, mask({Flag::ServingPull})}},
      {"owed run before the first-run gate", {D, mask({Flag::RunOwed, Flag::DirtySent})}, true, false, false,
       {D, mask({Flag::RunOwed, Flag::DirtySent})}},
      {"owed run with a dep pending", {D, mask({Flag::RunOwed}), 1}, true, true, false, {D, mask({Flag::RunOwed}), 1}},
      {"owed settle of a node without a function", {D, mask({Flag::RunOwed})}, false, false, true,
       {D, mask({Flag::ServingPull})}},
      {"nothing owed, a function reruns", {D, mask({Flag::DirtySent})}, true, false, true,
       {D, mask({Flag::ServingPull})}},
      {"nothing owed, nothing to run", {D, mask({Flag::DirtySent})}, false, true, false, {D, mask({Flag::DirtySent})}},
  };
  for (const Case& c : cases) {
    const std::vector<DepSlot> deps = dep_slots({{c.dep_has_value, false}});
    NodeState s = plant(c.before);
    EXPECT_EQ(s.serve_pull(RunInputs{deps, c.has_fn, false, false, false, false}), c.serves) << c.name;
    expect_state(s, c.after, c.name);
  }
}

TEST(NodeState, Queries) {
  struct Case {
    std::string name;
    Planted state;
    bool owes_resolved, resolves_after_run, quiescent;
  };
  const auto D = NodeStatus::Dirty, S = NodeStatus::Settled;
  const std::vector<Case> cases = {
      {"settled", {S, mask({Flag::HasData})}, false, false, true},
      {"dirty sent, deps settled", {D, mask({Flag::DirtySent})}, true, true, false},
      {"dirty sent, a dep pending", {D, mask({Flag::DirtySent}), 1}, false, true, false},
      {"emitted in the run", {S, mask({Flag::DirtySent, Flag::Emitted})}, true, false, true},
      {"terminal", {NodeStatus::Completed, mask({Flag::DirtySent, Flag::Terminal})}, true, false, true},
      {"running", {S, mask({Flag::Running})}, false, false, false},
      {"batch-queued", {S, mask({Flag::BatchQueued})}, false, false, false},
      {"rerun owed after a rewire", {S, mask({Flag::RunAfterMutation})}, false, false, false},
  };
  for (const Case& c : cases) {
    const NodeState s = plant(c.state);
    EXPECT_EQ(s.owes_resolved(), c.owes_resolved) << c.name;
    EXPECT_EQ(s.resolves_after_run(), c.resolves_after_run) << c.name;
    EXPECT_EQ(s.quiescent(), c.quiescent) << c.name;
  }
}

TEST(NodeState, AnAbortedWaveClearsItsStateInTheNamedDeps) {
  NodeState s = plant({NodeStatus::Dirty, mask({Flag::DirtySent, Flag::Emitted, Flag::Running, Flag::HasData}), 2});
  std::vector<DepSlot> deps(3);
  for (DepSlot& d : deps) d.pending = 1;
  s.abort_wave(deps, 2);
  expect_state(s, {NodeStatus::Dirty, mask({Flag::HasData}), 0}, "aborted");
  EXPECT_EQ(deps[0].pending, 0);
  EXPECT_EQ(deps[1].pending, 0);
  EXPECT_EQ(deps[2].pending, 1);  // beyond the node's deps: left alone
}

TEST(NodeState, BuiltAndRestoredStates) {
  expect_state(NodeState::with_value(), {NodeStatus::Settled, mask({Flag::HasData})}, "with value");
  expect_state(NodeState::restored(NodeStatus::Errored, false, true, true),
               {NodeStatus::Errored, mask({Flag::Terminal, Flag::Activated})}, "restored");
}

}  // namespace
}  // namespace korvalinth
