#pragma once
// settle_run_quietly's body, inline: the run of a queued item made out of
// the drain's frame takes it in place of a call (a fan-out's effects each
// settle so); the chain's own-frame run keeps the call.

#include "node/wave/batch.hpp"
#include "node/wave/delivery.hpp"
#include "node/wave/delivery_order.hpp"
#include "node/wave/dep_sink_plain.hpp"
#include "node/wave/quiet_settle.hpp"
#include "node/wave/quiet_wave.hpp"

namespace korvalinth {

[[gnu::always_inline]] inline bool settle_run_quietly_here(Arena& a, const UncountedNode& node) {
  const SlotKey key = node.key();
  // Pinned by the running wave, the node's key is current still.
  if (!a.current_holds_every_entry(key.index)) return false;
  const LiveSlotsWithAux s = whole_slots_with_aux(a, key.index);
  // Sinks that all ignore the RESOLVED take nothing; a lone dep sink takes
  // its record. Any other list is called.
  const DepSink* lone = nullptr;
  if (s.aux.sinks.heeds_dirty()) {
    lone = static_cast<const DepSink*>(s.aux.sinks.lone_dep_sink());
    if (lone == nullptr) return false;
  }
  // A batch takes the RESOLVED, and a delivery on the node queues it.
  if (batch_collecting()) return false;
  if (!quiet_road_fits(delivery_depth() == 0)) return false;
  if (OrderedDelivery::in_progress_on(node)) return false;
  // Pinned by the running wave, the node is touched by it: its run began
  // touched, and the scope stays installed until that wave ends.
  if (paused_or_pull_gated(s.config, s.aux)) return false;
  // Stamped with a frame of its own, as down's delivery would be: nothing
  // else in it reads the frame, so none is opened.
  if (lone && !lone->record_resolved_quietly(a, node.core_ref(), take_frame_id())) return false;
  s.edge.state.take_resolved();
  s.edge.state.end_wave();
  return true;
}

}  // namespace korvalinth
