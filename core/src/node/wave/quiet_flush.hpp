#pragma once
// A batch's flush of one record's DATA without the wave it would open,
// where that wave would only touch and untouch.

#include "node/arena/graph_core.hpp"
#include "node/arena/message.hpp"
#include "node/arena/node_handle.hpp"
#include "node/wave/delivery.hpp"
#include "node/wave/dep_sink_plain.hpp"
#include "node/wave/quiet_wave.hpp"

namespace korvalinth {

// Whether the thread lets a flush deliver DATA to nodes of core without
// waves: core not borrowed, no scope installed, nothing queued, no delivery
// in progress and no stack too deep. A quiet flush changes none of it, so
// a run of them is asked once.
inline bool quiet_flush_open(const GraphCore& core) noexcept {
  if (core.is_borrowed() || wave_scope_installed()) return false;
  // The wave's one touch: the sink's node.
  if (!quiet_wave_fits(1)) return false;
  // A delivery in progress may take the DATA behind it.
  return delivery_depth() == 0 && delivery_counters().innermost == nullptr;
}

namespace detail {

// The node's state and entries as the flush's plain road reads them: its
// run over, its DIRTY gone out at the deferral, nothing holding its DATA
// back (paused or waiting for a pull, whatever its pause mode), its version
// advancing in place.
inline bool flushes_plainly(const LiveSlotsWithAux& s, const NodeVersionSlot& version) {
  const NodeState& state = s.edge.state;
  if (!state.past_run_with_dirty_out()) return false;
  if (paused_or_pull_gated(s.config, s.aux)) return false;
  return version.advances_in_place();
}

}  // namespace detail

// Delivers m, the one DATA a batch flushes to a node (which left the
// batch), without a wave of its own, when that wave would only record its
// value in a dep sink: the node's plain flushed DATA (not running, its DIRTY
// gone out, nothing holding it back, its version advancing in place),
// replacing a value another holder keeps, to a lone dep sink of its core
// whose node still owes another dep after it. For the node at index i of
// core, borrowed as a, which holds every entry (s), once
// quiet_flush_open(core) held, inside a delivery frame the caller opened
// then, in which nothing else was recorded into the sink's dep. Takes m's
// value, and drops the replaced one under the borrow: its share is not the
// last. False, with nothing changed, for any other.
[[gnu::always_inline]] inline bool flush_data_quietly(Arena& a, GraphCore& core, const LiveSlotsWithAux& s,
                                                      std::uint64_t i, Message& m) {
  if (m.kind() != MessageKind::Data) return false;
  NodeVersionSlot& version = a.version_at(i);
  if (!detail::flushes_plainly(s, version)) return false;
  // The replaced value's drop may run code: the wave's road drops it inside.
  if (s.edge.cache.is_last_share()) return false;
  // A wider list is delivered as a run of its sinks.
  const Sink* const lone = s.aux.sinks.lone_dep_sink();
  if (lone == nullptr) return false;
  // Recorded first: a record refused leaves this node as it was.
  if (!static_cast<const DepSink&>(*lone).record_data_quietly(a, core, m)) return false;
  version.advance_in_place();
  SharedValue old_cache = std::exchange(s.edge.cache, m.take_data_value());
  s.edge.state.take_data();
  s.edge.state.end_wave();
  // Not the last share: another holder keeps the replaced value.
  old_cache.drop_unless_last();
  return true;
}

}  // namespace korvalinth
