#include "node/wave/wave_end_reset.hpp"

#include <optional>
#include <utility>

#include "base/small_vec.hpp"
#include "node/arena/graph_core.hpp"

namespace korvalinth {

void end_wave_for_node(const TouchedNode& t, const CoreRef& owner) {
  SmallVec<std::optional<SharedValue>, 2> old_wave;
  SmallVec<SharedValue, 2> old_latest;
  SmallVec<WaveDeliveries, 2> old_lists;
  SmallVec<TerminalRecord, 2> old_terminal;
  const CoreRef& core = t.core_ref(owner);
  SlotKey key = t.key;
  auto a = core->borrow_mut();
  if (!a->is_current(key)) return;
  EdgeEntry& e = a->wave_edge(key);
  const std::size_t n = a->topology_at(key.index).deps.size();
  e.state.abort_wave(e.dep_state, n);
  for (std::size_t i = 0; i < n && i < e.dep_state.size(); ++i) {
    DepSlot& d = e.dep_state[i];
    if (d.wave_value) {
      StockedDepInputs::keep_lent_input(e.dep_state.data(), i);
      old_latest.push_back(std::exchange(d.latest, *d.wave_value));
    }
    old_wave.push_back(std::exchange(d.wave_value, std::nullopt));
    old_lists.push_back(std::move(d.deliveries));
    d.stamp = kNoStamp;
    old_terminal.push_back(d.take_terminal_input());
  }
  a.release();
}

}  // namespace korvalinth
