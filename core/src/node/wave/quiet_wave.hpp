#pragma once
// What a quiet road (a batched set or flush done without the wave of its
// own it would open) needs of the thread: the wave would run on the
// emptied lists the scope keeps and touch its nodes in room they have, its
// end would find no queued item to move, and its nested frames could not
// reach a stack check.

#include <cstddef>
#include <cstdint>

#include "node/wave/pending.hpp"
#include "node/wave/stack_guard.hpp"
#include "node/wave/wave_scope.hpp"

namespace korvalinth {

// Frames a wave that a quiet road stands for nests down to the stack checks
// of the dep sinks it reaches, with room to spare.
inline constexpr std::uintptr_t kQuietWaveStackMargin = std::uintptr_t{64} << 10;

// Whether the deliveries a quiet road stands for fit where it is taken:
// their frames reach no stack check and, when they would close outermost
// (and drain the queue), no queued item waits.
inline bool quiet_road_fits(bool outermost) noexcept {
  if (stack_room_below(detail::stack_position()) < kQuietWaveStackMargin) return false;
  return !outermost || !pending_waits(pending_state());
}

// Whether a wave that would touch at most touches nodes may be skipped.
inline bool quiet_wave_fits(std::size_t touches) noexcept {
  if (!quiet_road_fits(true)) return false;
  const WaveScope& kept = *wave_scope_cell().unguarded();
  return kept.touched.empty() && kept.deferred_cores.empty() && kept.touched.has_room_for(touches);
}

}  // namespace korvalinth
