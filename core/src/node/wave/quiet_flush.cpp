#include "node/wave/quiet_flush.hpp"

#include "node/wave/dep_sink_plain.hpp"

namespace korvalinth {

namespace {

// The node's state and entries as the flush's plain road reads them: its
// run over, its DIRTY gone out at the deferral, nothing holding its DATA
// back (paused or waiting for a pull, whatever its pause mode), its version
// advancing in place.
bool flushes_plainly(const LiveSlotsWithAux& s, const NodeVersionSlot& version) {
  const NodeState& state = s.edge.state;
  if (!state.past_run_with_dirty_out()) return false;
  if (s.aux.paused() || (s.config.pull_id.has_value() && !s.aux.serving_pull())) return false;
  return version.advances_in_place();
}

}  // namespace

bool flush_data_quietly(Arena& a, GraphCore& core, const UncountedNode& node, Message& m) {
  if (m.kind() != MessageKind::Data) return false;
  if (!a.holds_every_entry(node.key())) return false;
  const std::uint64_t i = node.index();
  const LiveSlotsWithAux s = current_slots_with_aux(a, i);
  NodeVersionSlot& version = a.version_at(i);
  if (!flushes_plainly(s, version)) return false;
  // The replaced value's drop may run code: the wave's road drops it inside.
  if (s.edge.cache.is_last_share()) return false;
  // A wider list is delivered as a run of its sinks.
  const Sink* const lone = s.aux.sinks.lone_dep_sink();
  if (lone == nullptr) return false;
  // Recorded first: a record refused leaves this node as it was.
  if (!static_cast<const DepSink&>(*lone).record_data_quietly(a, core, m)) return false;
  version.advance_in_place();
  SharedValue old_cache = m.data_value();
  old_cache.swap(s.edge.cache);
  s.edge.state.take_data();
  s.edge.state.end_wave();
  // Neither share is the last: the cache keeps m's value, another holder
  // the replaced one.
  old_cache.drop_unless_last();
  m.release_data_value();
  return true;
}

}  // namespace korvalinth
