#pragma once
// A node's state as a forecast of the feedback check (feedback_check.hpp)
// changes it: copies of what the run rules read, changed by the verbs the
// delivery changes them with.

#include <cstdint>
#include <vector>

#include "node/arena/graph_core.hpp"

namespace korvalinth {

struct StateCopy {
  NodeState state;
  std::vector<DepSlot> deps;         // each dep's pending, has-value and terminal marks
  std::vector<std::uint8_t> wave;    // the dep delivered DATA this wave
  std::vector<std::uint8_t> latest;  // the dep has a latest value

  // Of a node with dep_count deps; one without dep states yet (never
  // connected) has empty ones, as its activation makes them.
  StateCopy(const EdgeEntry& e, std::size_t dep_count)
      : state(e.state), deps(dep_count), wave(dep_count, 0), latest(dep_count, 0) {
    if (e.dep_state.size() != dep_count) return;
    for (std::size_t i = 0; i < dep_count; ++i) {
      const DepSlot& d = e.dep_state[i];
      deps[i].has_value = d.has_value;
      deps[i].pending = d.pending;
      if (d.terminal_present()) deps[i].record_terminal(TerminalRecord{true, nullptr});
      wave[i] = d.wave_value.has_value() ? 1 : 0;
      latest[i] = d.latest ? 1 : 0;
    }
  }

  RunInputs inputs(const LiveSlotsWithAux& s) const {
    RunInputs in = EntryRunInputs{s.topology, s.call, s.config, s.run, s.edge}.gathered();
    in.dep_states = deps;
    return in;
  }
  bool any_wave_value() const {
    for (std::uint8_t w : wave)
      if (w) return true;
    return false;
  }
  // The value a node without a function settles to, its first dep's wave
  // value becoming its latest: whether there is one.
  bool settles_to_a_value() {
    if (deps.empty()) return false;
    if (wave[0]) latest[0] = 1;
    return latest[0] != 0;
  }
  // A run's end: the deps' wave values become their latest.
  void take_wave_values() {
    for (std::size_t i = 0; i < wave.size(); ++i) {
      if (wave[i]) latest[i] = 1;
      wave[i] = 0;
    }
  }
};

}  // namespace korvalinth
