#include "node/wave/quiet_flush.hpp"

#include "node/wave/delivery.hpp"
#include "node/wave/dep_sink_plain.hpp"
#include "node/wave/quiet_wave.hpp"

namespace korvalinth {

namespace {

// The node's state and entries as the flush's plain road reads them: its
// run over, its DIRTY gone out at the deferral, nothing holding its DATA
// back (paused or waiting for a pull, whatever its pause mode), its version
// advancing in place.
bool flushes_plainly(const LiveSlotsWithAux& s, const NodeVersionSlot& version) {
  const NodeState& state = s.edge.state;
  if (!state.past_run_with_dirty_out()) return false;
  if (paused_or_pull_gated(s.config, s.aux)) return false;
  return version.advances_in_place();
}

}  // namespace

bool flush_data_quietly(const UncountedNode& node, Message& m) {
  if (m.kind() != MessageKind::Data) return false;
  GraphCore& core = node.core_ref();
  if (core.is_borrowed() || wave_scope_installed()) return false;
  // The wave's one touch: the sink's node.
  if (!quiet_wave_fits(1)) return false;
  // A delivery in progress may take the DATA behind it.
  if (delivery_depth() != 0 || delivery_counters().innermost != nullptr) return false;
  auto a = core.borrow_mut();
  if (!a->holds_every_entry(node.key())) return false;
  const std::uint64_t i = node.index();
  const LiveSlotsWithAux s = current_slots_with_aux(*a, i);
  NodeVersionSlot& version = a->version_at(i);
  if (!flushes_plainly(s, version)) return false;
  // The replaced value's drop may run code: the wave's road drops it inside.
  if (s.edge.cache.is_last_share()) return false;
  // A wider list is delivered as a run of its sinks.
  const std::span<const SinkEntry> sinks = s.aux.sinks.entries();
  if (sinks.size() != 1 || !sinks[0].dep) return false;
  const DepSink& sink = static_cast<const DepSink&>(*sinks[0].sink);
  if (!sink.takes_data_quietly(*a, core)) return false;
  {
    // Stamped with a frame of its own, as in the wave. Recorded first, under
    // the borrow: a record refused leaves this node as it was (a frame id
    // spent is seen by nothing).
    DeliveryFrame frame;
    if (!sink.record_data_quietly(*a, core, m)) return false;
  }
  version.advance_in_place();
  SharedValue old_cache = m.data_value();
  old_cache.swap(s.edge.cache);
  s.edge.state.take_data();
  s.edge.state.end_wave();
  a.release();
  old_cache.reset();
  m.release_data_value();
  return true;
}

}  // namespace korvalinth
