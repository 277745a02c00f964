// NodeState's transitions and rules, as tables: a planted state, one verb,
// what the verb says must be delivered, and the state it leaves.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "node/arena/node_entries.hpp"
#include "node/arena/node_state.hpp"
#include "node_state_access.hpp"

namespace korvalinth {
namespace {

using F = NodeState::Flag;
using Access = NodeStateTestAccess;
constexpr NodeStatus D = NodeStatus::Dirty, S = NodeStatus::Settled, Z = NodeStatus::Sentinel;

std::uint16_t bits(std::initializer_list<F> flags) {
  std::uint16_t m = 0;
  for (F f : flags) m |= static_cast<std::uint16_t>(f);
  return m;
}

struct Planted {
  NodeStatus status = D;
  std::uint16_t flags = 0;
  std::uint32_t pending = 0;
};

NodeState plant(const Planted& p) {
  NodeState s;
  Access::set_status(s, p.status);
  Access::set_pending_count(s, p.pending);
  for (std::uint16_t bit = 1; bit != 0; bit = static_cast<std::uint16_t>(bit << 1))
    if (p.flags & bit) Access::set(s, static_cast<F>(bit), true);
  return s;
}

void expect_state(const NodeState& s, const Planted& want, const std::string& name) {
  EXPECT_EQ(s.status(), want.status) << name;
  EXPECT_EQ(Access::flags(s), want.flags) << name;
  EXPECT_EQ(s.pending_count(), want.pending) << name;
}

// The dep inputs the gate reads: a value, a terminal.
std::vector<DepSlot> dep_slots(const std::vector<std::pair<bool, bool>>& inputs) {
  std::vector<DepSlot> slots(inputs.size());
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    slots[i].has_value = inputs[i].first ? 1 : 0;
    if (inputs[i].second) slots[i].record_terminal(TerminalRecord{true, nullptr});
  }
  return slots;
}

// One verb; what it says must be delivered, as an int (a bool as 0/1, a
// RunDecision by value). The node has one dep, pending before and after as said.
struct Transition {
  std::string name;
  Planted before;
  std::function<int(NodeState&, DepSlot&)> verb;
  int delivers;
  Planted after;
  bool dep_pending_before = false;
  bool dep_pending_after = false;
};

TEST(NodeState, TransitionsSayWhatMustBeDelivered) {
  auto dirty = [](bool gated, bool quiet = false) {
    return [gated, quiet](NodeState& s, DepSlot& d) { return int(s.dep_dirty(d, gated, [quiet] { return quiet; })); };
  };
  auto owe = [](bool held) { return [held](NodeState& s, DepSlot&) { return int(s.deps_settled_or_owe([held] { return held; })); }; };
  const std::vector<Transition> cases = {
      {"own DIRTY goes out once", {S, bits({F::DirtySent})}, [](NodeState& s, DepSlot&) { return int(s.mark_dirty()); },
       0, {S, bits({F::DirtySent})}},
      {"a rerun is dirty even when DIRTY went out", {S, bits({F::DirtySent})},
       [](NodeState& s, DepSlot&) { return int(s.mark_dirty_for_rerun()); }, 0, {D, bits({F::DirtySent})}},
      {"RESOLVED without a value", {D}, [](NodeState& s, DepSlot&) { s.take_resolved(); return 0; }, 0,
       {Z, bits({F::Emitted})}},
      {"terminal ends pulls and the owed run", {S, bits({F::HasData, F::PullInProgress, F::ServingPull, F::RunOwed})},
       [](NodeState& s, DepSlot&) { return int(s.terminate(true)); }, 1,
       {NodeStatus::Errored, bits({F::HasData, F::Terminal})}},
      {"a second terminal is ignored", {NodeStatus::Completed, bits({F::Terminal})},
       [](NodeState& s, DepSlot&) { return int(s.terminate(false)); }, 0, {NodeStatus::Completed, bits({F::Terminal})}},
      {"a wave stays open after a batch-queued run", {D, bits({F::DirtySent, F::BatchQueued})},
       [](NodeState& s, DepSlot&) { s.end_wave_unless_settled(); return 0; }, 0, {D, bits({F::DirtySent, F::BatchQueued})}},
      {"a quiet run ends the wave", {D, bits({F::DirtySent})},
       [](NodeState& s, DepSlot&) { s.end_wave_unless_settled(); return 0; }, 0, {D}},
      {"deactivation drops the value and the wave", {D, bits({F::Activated, F::HasData, F::DirtySent, F::RunOwed}), 2},
       [](NodeState& s, DepSlot&) { s.deactivate(true); return 0; }, 0, {Z}},
      {"first dirty dep announces", {S}, dirty(false), 1, {D, bits({F::DirtySent}), 1}, false, true},
      {"a pull-gated node counts quietly", {S}, dirty(true), 0, {S, 0, 1}, false, true},
      {"dirty with quiet sinks notes them", {S}, dirty(false, true), 1,
       {D, bits({F::DirtySent, F::DirtyToQuietSinks}), 1}, false, true},
      {"quiet sinks of a pull-gated node go unnoted", {S}, dirty(true, true), 0, {S, 0, 1}, false, true},
      {"quiet sinks after DIRTY went out go unnoted", {S, bits({F::DirtySent})}, dirty(false, true), 0,
       {S, bits({F::DirtySent}), 1}, false, true},
      {"the same dep counts once", {D, 0, 1}, dirty(false), 0, {D, 0, 1}, true, true},
      {"a pending dep settles", {D, 0, 2}, [](NodeState& s, DepSlot& d) { return int(s.dep_settled(d)); }, 1, {D, 0, 1}, true, false},
      {"no dep pending: run check due", {D}, owe(true), 1, {D}},
      {"a dep pending, held back: run owed", {D, 0, 1}, owe(true), 0, {D, bits({F::RunOwed}), 1}},
      {"a dep pending during a rewire: nothing owed", {D, bits({F::MutationInFlight}), 1}, owe(true), 0,
       {D, bits({F::MutationInFlight}), 1}},
  };
  for (const Transition& c : cases) {
    NodeState s = plant(c.before);
    DepSlot dep;
    dep.pending = c.dep_pending_before ? 1 : 0;
    EXPECT_EQ(c.verb(s, dep), c.delivers) << c.name;
    expect_state(s, c.after, c.name);
    EXPECT_EQ(dep.pending != 0, c.dep_pending_after) << c.name;
  }
}

TEST(NodeState, FirstRunGateAndRunDecision) {
  struct Case {
    std::string name;
    std::vector<std::pair<bool, bool>> deps;  // value, terminal
    bool has_fn, has_run, partial, terminal_as_input, held_back;
    Planted before;
    RunDecision decision;
    Planted after;
  };
  using R = RunDecision;
  const std::vector<Case> cases = {
      {"every dep has a value", {{true, false}, {true, false}}, true, false, false, false, false, {}, R::Run, {}},
      {"a dep without a value", {{true, false}, {false, false}}, true, false, false, false, false, {}, R::Nothing, {}},
      {"ran before", {{false, false}}, true, true, false, false, false, {}, R::Run, {}},
      {"partial input", {{false, false}}, true, false, true, false, false, {}, R::Run, {}},
      {"no deps", {}, true, false, false, false, false, {}, R::Run, {}},
      {"a terminal counts as input", {{false, true}}, true, false, false, true, false, {}, R::Run, {}},
      {"a terminal is no input", {{false, true}}, true, false, false, false, false, {}, R::Nothing, {}},
      {"no function settles", {{false, false}}, false, false, false, false, false, {}, R::Settle, {}},
      {"a dep pending", {{true, false}}, true, false, false, false, false, {D, 0, 1}, R::Nothing, {D, 0, 1}},
      {"held back owes the run", {{true, false}}, true, false, false, false, true, {}, R::Nothing,
       {D, bits({F::RunOwed})}},
      {"during a rewire it reruns after", {{true, false}}, true, false, false, false, true,
       {D, bits({F::MutationInFlight})}, R::Nothing, {D, bits({F::MutationInFlight, F::RunAfterMutation})}},
      {"the gate holds a node whose DIRTY went out: it resolves", {{true, false}, {false, false}}, true, false, false,
       false, false, {D, bits({F::DirtySent})}, R::Resolve, {D, bits({F::DirtySent})}},
      {"a terminal is no input: it resolves", {{false, true}}, true, false, false, false, false,
       {D, bits({F::DirtySent})}, R::Resolve, {D, bits({F::DirtySent})}},
      {"the gate holds, a dep pending", {{false, false}}, true, false, false, false, false,
       {D, bits({F::DirtySent}), 1}, R::Nothing, {D, bits({F::DirtySent}), 1}},
      {"the gate holds, held back: the run is owed, not resolved", {{false, false}}, true, false, false, false, true,
       {D, bits({F::DirtySent})}, R::Nothing, {D, bits({F::DirtySent, F::RunOwed})}},
      {"the gate holds during a rewire: it reruns after", {{false, false}}, true, false, false, false, false,
       {D, bits({F::DirtySent, F::MutationInFlight})}, R::Nothing,
       {D, bits({F::DirtySent, F::MutationInFlight, F::RunAfterMutation})}},
  };
  for (const Case& c : cases) {
    const std::vector<DepSlot> deps = dep_slots(c.deps);
    NodeState s = plant(c.before);
    const RunInputs in{deps, c.has_fn, c.has_run, c.partial, c.terminal_as_input, deps.empty()};
    // The query decides alike and changes nothing.
    EXPECT_EQ(s.run_check_outcome(in, c.held_back), c.decision) << c.name;
    expect_state(s, c.before, c.name);
    EXPECT_EQ(s.decide_run(in, c.held_back), c.decision) << c.name;
    expect_state(s, c.after, c.name);
  }
}

// A reader of a node's entries, noting which inputs the rules asked of it.
struct AskedInputs {
  enum Input : unsigned { Deps = 1, Fn = 2, Run = 4, Partial = 8, TerminalAsInput = 16, NoDeps = 32 };
  EntryRunInputs entries;
  unsigned* asked;
  std::span<const DepSlot> deps() const { return *asked |= Deps, entries.deps(); }
  bool has_fn() const { return *asked |= Fn, entries.has_fn(); }
  bool has_run() const { return *asked |= Run, entries.has_run(); }
  bool partial() const { return *asked |= Partial, entries.partial(); }
  bool terminal_as_input() const { return *asked |= TerminalAsInput, entries.terminal_as_input(); }
  bool no_deps() const { return *asked |= NoDeps, entries.no_deps(); }
};

// A run check over a node's entries reads its run mark when the rules ask
// it, and asks no input its answer does not need: a node that ran before
// runs without its config, deps or dep states being read, and only a first
// run walks the dep states.
TEST(NodeState, ARunCheckOverEntriesReadsOnlyWhatItsAnswerNeeds) {
  using A = AskedInputs;
  struct Case {
    std::string name;
    bool has_fn, partial;
    std::uint8_t run_when_made, run_when_asked;
    Planted before;
    RunDecision decision;
    unsigned never_asked;
  };
  using R = RunDecision;
  constexpr unsigned kBesidesTheRunMark = A::Deps | A::Partial | A::TerminalAsInput | A::NoDeps;
  const std::vector<Case> cases = {
      {"ran before", true, false, 1, 1, {}, R::Run, kBesidesTheRunMark},
      {"ran after its reader was made", true, false, 0, 1, {}, R::Run, kBesidesTheRunMark},
      {"partial input", true, true, 0, 0, {}, R::Run, A::Deps},
      {"no function settles", false, false, 0, 0, {}, R::Settle, A::Deps},
      {"a dep pending", true, false, 1, 1, {D, 0, 1}, R::Nothing, A::Deps},
      {"during a rewire", true, false, 1, 1, {D, bits({F::MutationInFlight})}, R::Nothing, A::Deps},
  };
  for (const Case& c : cases) {
    TopologyEntry topology;
    CallEntry call;
    if (c.has_fn) call.key = DispatcherKey{};
    ConfigEntry config;
    config.partial = c.partial ? 1 : 0;
    config.terminal_as_real_input = 1;
    EdgeEntry edge;
    edge.dep_state = DepStates(1);  // one dep without an input
    std::uint8_t run = c.run_when_made;
    unsigned asked = 0;
    const AskedInputs in{EntryRunInputs{topology, call, config, run, edge}, &asked};
    run = c.run_when_asked;
    NodeState s = plant(c.before);
    EXPECT_EQ(s.decide_run(in, false), c.decision) << c.name;
    EXPECT_EQ(asked & c.never_asked, 0u) << c.name;
  }
}

// A node with deps whose states are not made yet has had no input from
// any of them: the gate holds it back unless it ran before or takes partial
// input, for a run check and a pull alike.
TEST(NodeState, NoDepStatesYetIsNoInput) {
  struct Case {
    std::string name;
    bool has_run, partial;
    RunDecision decision;
  };
  const std::vector<Case> cases = {
      {"first run", false, false, RunDecision::Nothing},
      {"ran before", true, false, RunDecision::Run},
      {"partial input", false, true, RunDecision::Run},
  };
  for (const Case& c : cases) {
    const RunInputs in{{}, true, c.has_run, c.partial, true, /*no_deps=*/false};
    NodeState s;
    EXPECT_EQ(s.decide_run(in, false), c.decision) << c.name;
    NodeState owed = plant({D, bits({F::RunOwed})});
    EXPECT_EQ(owed.serve_pull(in), c.decision == RunDecision::Run) << c.name;
  }
}

TEST(NodeState, ServingAPullFollowsTheOwedRunAndTheGate) {
  struct Case {
    std::string name;
    Planted before;
    bool has_fn, dep_has_value, serves;
    Planted after;
  };
  const std::vector<Case> cases = {
      {"owed run that may run", {D, bits({F::RunOwed, F::DirtySent})}, true, true, true, {D, bits({F::ServingPull})}},
      {"owed run before the first-run gate", {D, bits({F::RunOwed})}, true, false, false, {D, bits({F::RunOwed})}},
      {"owed run with a dep pending", {D, bits({F::RunOwed}), 1}, true, true, false, {D, bits({F::RunOwed}), 1}},
      {"owed settle without a function", {D, bits({F::RunOwed})}, false, false, true, {D, bits({F::ServingPull})}},
      {"nothing owed: a function reruns", {D, bits({F::DirtySent})}, true, false, true, {D, bits({F::ServingPull})}},
      {"nothing owed, nothing to run", {D, bits({F::DirtySent})}, false, true, false, {D, bits({F::DirtySent})}},
  };
  for (const Case& c : cases) {
    const std::vector<DepSlot> deps = dep_slots({{c.dep_has_value, false}});
    NodeState s = plant(c.before);
    EXPECT_EQ(s.serve_pull(RunInputs{deps, c.has_fn, false, false, false, false}), c.serves) << c.name;
    expect_state(s, c.after, c.name);
  }
}

TEST(NodeState, ResolvedAndQuiescenceRules) {
  struct Case {
    std::string name;
    Planted state;
    bool owes_resolved, resolves_after_run, quiescent;
  };
  const std::vector<Case> cases = {
      {"settled", {S, bits({F::HasData})}, false, false, true},
      {"DIRTY out, deps settled", {D, bits({F::DirtySent})}, true, true, false},
      {"DIRTY out, a dep pending", {D, bits({F::DirtySent}), 1}, false, true, false},
      {"emitted in the run", {S, bits({F::DirtySent, F::Emitted})}, true, false, true},
      {"terminal", {NodeStatus::Completed, bits({F::DirtySent, F::Terminal})}, true, false, true},
      {"running", {S, bits({F::Running})}, false, false, false},
      {"rerun owed after a rewire", {S, bits({F::RunAfterMutation})}, false, false, false},
  };
  for (const Case& c : cases) {
    const NodeState s = plant(c.state);
    EXPECT_EQ(s.owes_resolved(), c.owes_resolved) << c.name;
    EXPECT_EQ(s.resolves_after_run(), c.resolves_after_run) << c.name;
    EXPECT_EQ(s.quiescent(), c.quiescent) << c.name;
  }
}

TEST(NodeState, AnAbortedWaveClearsItsStateInTheNodesDepsOnly) {
  NodeState s = plant({D, bits({F::DirtySent, F::Emitted, F::Running, F::HasData}), 2});
  std::vector<DepSlot> deps(3);
  for (DepSlot& d : deps) d.pending = 1;
  s.abort_wave(deps, 2);
  expect_state(s, {D, bits({F::HasData})}, "aborted");
  EXPECT_EQ(deps[0].pending + deps[1].pending, 0);
  EXPECT_EQ(deps[2].pending, 1);
}

}  // namespace
}  // namespace korvalinth
