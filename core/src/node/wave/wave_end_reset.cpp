#include "node/wave/wave_end_reset.hpp"

#include <algorithm>
#include <new>
#include <optional>
#include <utility>

#include "base/small_vec.hpp"
#include "node/arena/graph_core.hpp"

namespace korvalinth {

namespace {

// What the reset takes out of deps' states. It drops after the borrow, as
// dropping a value may run code: the terminal records first, the wave
// values last.
struct TakenDepValues {
  static constexpr std::size_t kInline = 2;
  SmallVec<std::optional<SharedValue>, kInline> wave;
  SmallVec<SharedValue, kInline> latest;
  SmallVec<WaveDeliveries, kInline> lists;
  SmallVec<TerminalRecord, kInline> terminal;

  // Makes room for the values of up to want deps before any is taken;
  // returns how many fit: the inline room's when a growth fails.
  std::size_t make_room(std::size_t want) noexcept {
    try {
      wave.reserve(want);
      latest.reserve(want);
      lists.reserve(want);
      terminal.reserve(want);
      return want;
    } catch (const std::bad_alloc&) {
      return std::min(want, kInline);
    }
  }
};

// Resets deps [first, last) of e, taking their values into out, which has
// room for them.
void reset_deps(EdgeEntry& e, std::size_t first, std::size_t last, TakenDepValues& out) {
  for (std::size_t i = first; i < last; ++i) {
    DepSlot& d = e.dep_state[i];
    if (d.wave_value) {
      StockedDepInputs::keep_lent_input(e.dep_state.data(), i);
      out.latest.push_back(std::exchange(d.latest, *d.wave_value));
    }
    out.wave.push_back(std::exchange(d.wave_value, std::nullopt));
    out.lists.push_back(std::move(d.deliveries));
    d.stamp = kNoStamp;
    out.terminal.push_back(d.take_terminal_input());
  }
}

}  // namespace

// All deps are reset under one borrow. When the room for their values
// cannot be had, they are reset as many at a time as fit, each group's
// values dropped before the next borrow.
void end_wave_for_node(const TouchedNode& t, const CoreRef& owner) {
  const CoreRef& core = t.core_ref(owner);
  const SlotKey key = t.key;
  for (std::size_t done = 0;;) {
    TakenDepValues taken;
    auto a = core->borrow_mut();
    if (!a->is_current(key)) return;
    EdgeEntry& e = a->wave_edge(key);
    const std::size_t n = a->topology_at(key.index).deps.size();
    const std::size_t deps = std::min(n, e.dep_state.size());
    if (done == 0) e.state.abort_wave(e.dep_state, n);
    if (done >= deps) return;
    const std::size_t last = done + taken.make_room(deps - done);
    reset_deps(e, done, last, taken);
    a.release();
    if (last == deps) return;
    done = last;
  }
}

}  // namespace korvalinth
