#include "node/wave/feedback_check.hpp"

#include <unordered_map>
#include <utility>
#include <vector>

#include "node/wave/activation_forecast.hpp"
#include "node/wave/activation_rules.hpp"
#include "node/wave/down_rules.hpp"
#include "node/wave/forecast_state.hpp"
#include "node/wave/pending.hpp"
#include "node/wave/run_wave.hpp"
#include "node/wave/stack_guard.hpp"

namespace korvalinth {

Gives ActivationForecast::gives(std::uint64_t index) {
  if (const auto it = done_.find(index); it != done_.end()) return it->second;
  // Each dep nests a call, as each nests the activation's.
  check_stack_headroom();
  LiveSlotsWithAux s = current_slots_with_aux(a_, index);
  Gives g;
  switch (initial_message_of(s.config, s.edge.state)) {
    case InitialMessage::Data: g.data = true; break;
    case InitialMessage::Dirty: g.dirty = true; break;
    case InitialMessage::None: break;
  }
  if (!s.edge.state.activated()) {
    // Noted before its deps are walked: a node activated already is not
    // activated again.
    done_.emplace(index, g);
    activate(index, g);
  }
  done_[index] = g;
  return g;
}

void ActivationForecast::activate(std::uint64_t index, Gives& g) {
  // The forecast only reads the arena: the entries stay where they are.
  const LiveSlotsWithAux s = current_slots_with_aux(a_, index);
  std::vector<std::pair<std::uint64_t, Gives>> deps;
  for (const NodeHandle& d : s.topology.deps)
    if (&d.core_ref() == &core_ && a_.current_with_every_entry(d.key())) deps.emplace_back(d.index(), Gives{});
  for (auto& [dep, given] : deps) given = gives(dep);
  if (reruns) return;
  StateCopy c(s.edge, s.topology.deps.size());
  NodeState& st = c.state;
  // A terminal node's dep sinks take nothing.
  bool run_due = false;
  for (std::size_t i = 0; i < deps.size() && i < c.deps.size() && !st.terminal(); ++i) {
    const Gives& given = deps[i].second;
    if (given.dirty && c.dep_dirty(i, s.aux)) g.dirty = true;
    if (given.data || given.resolved) {
      c.dep_settled(i, given.data);
      run_due |= deps_settled_or_owe_run(st, s.config, s.aux);
    }
  }
  // A source runs once at its activation; what a terminal node sends is dropped.
  RunDecision decision = RunDecision::Nothing;
  if (runs_at_activation(s.topology, s.call, s.run))
    decision = RunDecision::Run;
  else if (run_due && !st.terminal())
    decision = st.decide_run(c.inputs(s), run_held_back(s.config, s.aux));
  switch (decision) {
    case RunDecision::Nothing:
      return;
    case RunDecision::Run:
      if (st.running()) {
        reruns = true;
        return;
      }
      g.data |= !st.terminal() && !holds_back(s, true);
      return;
    case RunDecision::Settle:
      g.data |= first_dep_settle_value(c) && !holds_back(s, false);
      return;
    case RunDecision::Resolve:
      g.resolved |= !holds_back(s, st.running());
      return;
  }
}

bool activation_reruns_running_node(const UncountedNode& node) {
  auto held = node.core_ref().borrow();
  Arena& a = const_cast<Arena&>(*held);
  a.check(node.key());
  ActivationForecast f(a, node.core_ref());
  f.gives(node.index());
  return f.reruns;
}

void refuse_activation_of_running_nodes(const UncountedNode& node) {
  if (activation_reruns_running_node(node)) fault(kReentrantRun);
}

}  // namespace korvalinth
