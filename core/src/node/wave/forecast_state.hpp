#pragma once
// A node's state as a forecast of the feedback check (feedback_check.hpp)
// changes it: copies of what the run rules read, changed by the verbs the
// delivery changes them with.

#include <cstdint>
#include <vector>

#include "node/arena/graph_core.hpp"
#include "node/wave/dep_sink_plain.hpp"

namespace korvalinth {

struct StateCopy {
  NodeState state;
  std::vector<DepSlot> deps;           // each dep's pending, has-value and terminal marks
  std::vector<std::uint8_t> wave;      // the dep delivered DATA this wave
  std::vector<std::uint8_t> has_latest;  // the dep has a latest value
  std::vector<std::uint8_t> restored;  // a DATA of the dep only becomes its latest (its restore flag)

  // Of a node with dep_count deps; one without dep states yet (never
  // connected) has empty ones, as its activation makes them.
  StateCopy(const EdgeEntry& e, std::size_t dep_count)
      : state(e.state), deps(dep_count), wave(dep_count, 0), has_latest(dep_count, 0), restored(dep_count, 0) {
    for (std::size_t i = 0; i < dep_count && i < e.dep_links.size(); ++i) restored[i] = e.dep_links[i].flag;
    if (e.dep_state.size() != dep_count) return;
    for (std::size_t i = 0; i < dep_count; ++i) {
      const DepSlot& d = e.dep_state[i];
      deps[i].has_value = d.has_value;
      deps[i].pending = d.pending;
      if (d.terminal_present()) deps[i].record_terminal(TerminalRecord{true, nullptr});
      wave[i] = d.wave_value.has_value() ? 1 : 0;
      has_latest[i] = d.latest ? 1 : 0;
    }
  }

  // The inputs of the run rules: the node's own, with these deps.
  RunInputs inputs(const LiveSlotsWithAux& s) const {
    RunInputs in = EntryRunInputs{s.topology, s.call, s.config, s.run, s.edge}.gathered();
    in.dep_states = deps;
    in.without_deps = deps.empty();
    return in;
  }
  // Dep i turned dirty, as its dep sink records it: true when the node
  // turns dirty itself. A forecast tells no quiet sinks apart.
  bool dep_dirty(std::size_t i, const AuxEntry& aux) noexcept {
    return state.dep_dirty(deps[i], dep_sink_steps::dirty_pull_gated(state, aux), [] { return false; });
  }
  // Dep i settled by a DATA (data) or a RESOLVED, as its dep sink records it.
  void dep_settled(std::size_t i, bool data) noexcept {
    if (!data) {
      state.dep_settled(deps[i]);
      return;
    }
    dep_sink_steps::settle_with_value(state, deps[i]);
    wave[i] = 1;
  }
  bool any_wave_value() const {
    for (std::uint8_t w : wave)
      if (w) return true;
    return false;
  }
  // A run's end: the deps' wave values become their latest.
  void take_wave_values() {
    for (std::size_t i = 0; i < wave.size(); ++i) {
      if (wave[i]) has_latest[i] = 1;
      wave[i] = 0;
    }
  }
  // The deps as first_dep_settle_value (pending.hpp) asks them.
  bool empty() const noexcept { return deps.empty(); }
  bool has_wave(std::size_t i) const noexcept { return wave[i] != 0; }
  void take_wave_as_latest(std::size_t i) noexcept { has_latest[i] = 1; }
  // Whether there is a value: what a forecast tells of it.
  bool latest(std::size_t i) const noexcept { return has_latest[i] != 0; }
};

}  // namespace korvalinth
