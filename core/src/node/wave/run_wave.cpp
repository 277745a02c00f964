#include "node/wave/run_wave.hpp"

#include <utility>

#include "base/drop_fault.hpp"
#include "base/scope_exit.hpp"
#include "base/thread_block.hpp"
#include "node/wave/down.hpp"
#include "node/wave/pending.hpp"
#include "node/wave/quiet_settle.hpp"
#include "node/wave/stack_guard.hpp"
#include "node/wave/wave_scope.hpp"

#include "node/wave/run_found_body.hpp"

namespace korvalinth {

void run_found(RefMut<Arena>& held, const UncountedNode& node, const LiveSlotsWithAux& s) {
  // Out of the drain's frame: a quiet settle is made in place.
  run_body::run_found_here<true>(held, node, s);
}

void touch_for_run(Arena& a, const UncountedNode& node) {
  auto cell = wave_scope_cell().borrow_mut();
  if (cell->has_value()) touch_in_frame(**cell, a, node.core(), node.count(), node.key());
}

void run_wave(const UncountedNode& node) {
  check_stack_headroom();
  RefMut<Arena> a = node.core_ref().borrow_mut();
  const SlotKey key = node.key();
  if (!touched_in_installed_scope(*a, key)) touch_for_run(*a, node);
  // The wave step's entries first, then the refusal, then the run's others.
  if (a->wave_edge(key).state.running()) fault(kReentrantRun);
  run_found(a, node, current_slots_with_aux(*a, key.index));
}

}  // namespace korvalinth
