#include "node/wave/feedback_check.hpp"

#include <unordered_map>
#include <utility>
#include <vector>

#include "node/wave/dep_sink_plain.hpp"
#include "node/wave/down_rules.hpp"
#include "node/wave/forecast_state.hpp"
#include "node/wave/run_wave.hpp"
#include "node/wave/stack_guard.hpp"

namespace korvalinth {

namespace {

// What a node's new dep sink receives while a subscribe activates the
// nodes it reaches: the initial message, then what the node's own
// activation sends.
struct Gives {
  bool dirty = false;
  bool data = false;
  bool resolved = false;
};

// The initial message of a node's new sink, as subscribe chooses it.
Gives initial_message(const LiveSlotsWithAux& s) {
  Gives g;
  if (s.config.pull_id) return g;
  if (s.edge.state.has_data())
    g.data = true;
  else
    g.dirty = s.edge.state.status() == NodeStatus::Dirty;
  return g;
}

class ActivationForecast {
 public:
  ActivationForecast(Arena& a, const GraphCore& core) : a_(a), core_(core) {}

  // What node gives its new dep sink; reruns is set once an activation
  // would run a running node.
  Gives gives(std::uint64_t index) {
    if (const auto it = done_.find(index); it != done_.end()) return it->second;
    // Each dep nests a call, as each nests the activation's.
    check_stack_headroom();
    LiveSlotsWithAux s = current_slots_with_aux(a_, index);
    Gives g = initial_message(s);
    if (!s.edge.state.activated()) {
      // Noted before its deps are walked: a node activated already is not
      // activated again.
      done_.emplace(index, g);
      activate(index, g);
    }
    done_[index] = g;
    return g;
  }

  bool reruns = false;

 private:
  // Adds to g what the node's activation sends; notes a rerun.
  void activate(std::uint64_t index, Gives& g) {
    std::vector<std::pair<std::uint64_t, Gives>> deps;
    {
      const LiveSlotsWithAux s = current_slots_with_aux(a_, index);
      for (const NodeHandle& d : s.topology.deps)
        if (&d.core_ref() == &core_ && a_.current_with_every_entry(d.key())) deps.emplace_back(d.index(), Gives{});
    }
    for (auto& [dep, given] : deps) given = gives(dep);
    if (reruns) return;
    const LiveSlotsWithAux s = current_slots_with_aux(a_, index);
    StateCopy c(s.edge, s.topology.deps.size());
    NodeState& st = c.state;
    // A terminal node's dep sinks take nothing.
    bool run_due = false;
    for (std::size_t i = 0; i < deps.size() && i < c.deps.size() && !st.terminal(); ++i) {
      const Gives& given = deps[i].second;
      if (given.dirty && st.dep_dirty(c.deps[i], dep_sink_steps::dirty_pull_gated(st, s.aux), [] { return false; }))
        g.dirty = true;
      if (given.data) {
        dep_sink_steps::settle_with_value(st, c.deps[i]);
        c.wave[i] = 1;
      } else if (given.resolved) {
        st.dep_settled(c.deps[i]);
      }
      if (given.data || given.resolved) run_due |= deps_settled_or_owe_run(st, s.config, s.aux);
    }
    // A source runs once at its activation; what a terminal node sends is dropped.
    const bool source = s.topology.deps.empty() && s.call.key && (s.run & 1) == 0;
    RunDecision decision = RunDecision::Nothing;
    if (source)
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
        g.data |= c.settles_to_a_value() && !holds_back(s, false);
        return;
      case RunDecision::Resolve:
        g.resolved |= !holds_back(s, st.running());
        return;
    }
  }

  Arena& a_;
  const GraphCore& core_;
  std::unordered_map<std::uint64_t, Gives> done_;
};

}  // namespace

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
