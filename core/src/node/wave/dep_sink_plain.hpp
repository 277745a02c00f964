#pragma once
// A dep sink's plain DATA: entered without a hold, it records its value and
// queues its node's run check under the caller's borrow, calling nothing;
// and its DIRTY's mark. Shared by a lone dep sink's call (dep_sink.cpp) and
// a run of dep sinks of one core under one borrow (dep_sink_run.cpp).

#include <utility>

#include "base/index_fault.hpp"
#include "node/wave/delivery.hpp"
#include "node/wave/dep_sink.hpp"
#include "node/wave/pending.hpp"
#include "node/wave/run_wave.hpp"
#include "node/wave/wave_scope.hpp"

namespace korvalinth::dep_sink_steps {

// The dep's delivery lists with the list of the frame whose id is frame
// open.
inline WaveDeliveries& current_wave_mut(DepSlot& d, std::uint64_t frame) {
  if (d.stamp != frame) {
    d.deliveries.open_list();
    d.stamp = frame;
  }
  return d.deliveries;
}

// Appends value to the dep's list of the frame whose id is frame, when that
// list is not the dep's first of the wave. Out of line: it may grow the
// lists, and the DATA road around it saves fewer registers without it.
[[gnu::noinline]] inline void push_in_later_list(DepSlot& d, const SharedValue& value, std::uint64_t frame) {
  current_wave_mut(d, frame).push(value);
}

// Whether dep d's next value in the frame whose id is frame opens its first
// list of the wave (its lists were taken by the last run).
[[gnu::always_inline]] inline bool opens_first_list(const DepSlot& d, std::uint64_t frame) {
  return d.stamp != frame && d.deliveries.empty();
}

// Opens dep d's first list of the wave with value, in the frame whose id is
// frame.
template <class V>
[[gnu::always_inline]] inline void open_first_list(DepSlot& d, V&& value, std::uint64_t frame) {
  d.deliveries.open_first_list_with(std::forward<V>(value));
  d.stamp = frame;
}

// The dep holds a value now, and is settled.
[[gnu::always_inline]] inline void settle_with_value(NodeState& state, DepSlot& d) {
  d.has_value = 1;
  state.dep_settled(d);
}

// Appends value to the dep's list of the current frame, whose id is frame.
// A dep's first value of a wave opens the list with it in place. Inlined
// into the DATA road.
[[gnu::always_inline]] inline void push_in_current_frame(DepSlot& d, const SharedValue& value, std::uint64_t frame) {
  if (opens_first_list(d, frame)) {
    open_first_list(d, value, frame);
    return;
  }
  push_in_later_list(d, value, frame);
}

// The first wave value of the wave of dep i (its state d). A lending run of
// the node notes the dep before it comes, so that run's end finds every
// wave value among its noted inputs.
[[gnu::always_inline]] inline void set_first_wave_value(EdgeEntry& e, std::size_t i, DepSlot& d,
                                                        const SharedValue& value) {
  StockedDepInputs::keep_lent_input(e.dep_state.data(), i);
  d.wave_value.emplace(value);
}

// Dep i's first DATA of the wave (its state d), with no run lending and no
// list of the wave open: the value shared into the wave value and the first
// list at once, and the dep settled.
[[gnu::always_inline]] inline void record_first_data_in_place(NodeState& state, DepSlot& d, const SharedValue& value,
                                                              std::uint64_t frame) {
  const Value* const shares = value.share_twice();
  d.wave_value.emplace(SharedValue::adopt(shares));
  open_first_list(d, SharedValue::adopt(shares), frame);
  settle_with_value(state, d);
}

// The open delivery frame's id, read where it is needed.
struct ReadFrameId {
  std::uint64_t operator()() const noexcept { return delivery_frame_id(); }
};
// The same, read by the caller already.
struct KnownFrameId {
  std::uint64_t id;
  std::uint64_t operator()() const noexcept { return id; }
};

// A DATA's value, the dep's wave value set already: kept in the list of
// the frame whose id frame_id gives and as the dep's input, and the dep
// settled.
template <class FrameId>
[[gnu::always_inline]] inline void record_data_value(NodeState& state, DepSlot& d, const SharedValue& value,
                                                     FrameId frame_id) {
  push_in_current_frame(d, value, frame_id());
  settle_with_value(state, d);
}

// Any other first DATA of dep i, in the frame whose id is frame: out of
// line, so that the usual one keeps its slot across no call.
[[gnu::noinline]] inline void record_first_data_rarely(EdgeEntry& e, std::size_t i, DepSlot& d,
                                                       const SharedValue& value, std::uint64_t frame) {
  set_first_wave_value(e, i, d, value);
  record_data_value(e.state, d, value, KnownFrameId{frame});
}

// A RESOLVED of dep d: an empty list of the frame whose id frame_id gives,
// and the dep settled.
template <class FrameId>
[[gnu::always_inline]] inline void record_resolved(NodeState& state, DepSlot& d, FrameId frame_id) {
  current_wave_mut(d, frame_id());
  state.dep_settled(d);
}

// How a call entered its node: not at all (the node is gone), or it did,
// or it would need a hold that the call does not make.
enum class Entered : std::uint8_t { No, Yes, NeedsHold };

// A call that holds nothing of its node: the usual one, inside a wave of
// the node's own core.
struct NoHold {};

// The installed scope as a dep sink's call sees it: its id (0: none), read
// once, and the scope itself once a touch found the node's core the
// owner's. Nothing a dep sink's call meets installs or removes a scope, so
// a call, or a line or run of calls into nodes of one core, reads it once.
struct SeenScope {
  std::uint64_t id = installed_scope_id();
  WaveScope* owner = nullptr;

  // Notes the scope itself when core_id names its owner's core; false, with
  // nothing noted, for any other (or when no scope is installed). Inlined
  // at once: call_any keeps the frame a DATA's stack check stands for.
  [[gnu::always_inline]] bool find_owner(CoreId core_id) noexcept {
    if (!installed_owner_ref(core_id)) return false;
    // The owner's reference is set only while its scope is installed, and no
    // holder of the scope's borrow reaches a dep sink: the touch needs none.
    owner = &*wave_scope_cell().unguarded();
    return true;
  }
};

// Touches a node found current and not touched by the running wave when it
// is of the wave owner's core (scope then notes the owner); false, with
// nothing changed, for any other.
[[gnu::always_inline]] inline bool touch_owned_node(Arena& a, const DepSink& sink, const SlotKey& key,
                                                    SeenScope& scope) {
  const CoreId core_id = sink.dependent_core_id();
  if (!scope.owner && !scope.find_owner(core_id)) return false;
  touch_untouched_in_frame(*scope.owner, a, nullptr, sink.dependent_count(), key, core_id, scope.id);
  return true;
}

// touch_owned_node out of line: the owner's scope once touched, else null.
[[gnu::noinline]] inline WaveScope* touch_owned_node_apart(Arena& a, const DepSink& sink, SeenScope scope) {
  return touch_owned_node(a, sink, sink.dependent(), scope) ? scope.owner : nullptr;
}

// Where an entry touches a node the running wave did not touch yet: in the
// caller's frame, or out of line for a caller whose node the wave's DIRTY
// most often touched before, keeping no key in hand. A value the inlined
// entry folds, not a template: templated, the DIRTY run's frame grows 16 B.
enum class TouchAt : std::uint8_t { InPlace, Apart };

// Enters a node found current that needs no hold: touched by the running
// wave already, or of the wave owner's core (touched now, where at says).
// NeedsHold, with nothing changed, for any other.
[[gnu::always_inline]] inline Entered enter_current_node(Arena& a, const DepSink& sink, const SlotKey& key,
                                                         SeenScope& scope, TouchAt at = TouchAt::InPlace) {
  if (touched_by_scope(a, key.index, scope.id)) return Entered::Yes;
  if (at == TouchAt::InPlace) return touch_owned_node(a, sink, key, scope) ? Entered::Yes : Entered::NeedsHold;
  scope.owner = touch_owned_node_apart(a, sink, scope);
  return scope.owner ? Entered::Yes : Entered::NeedsHold;
}

// As enter_node, for a node that needs no hold (see enter_current_node);
// NeedsHold, with nothing changed, for any other: enter_node then enters it.
[[gnu::always_inline]] inline Entered enter_node(Arena& a, const DepSink& sink, NoHold&, SeenScope& scope) {
  const SlotKey key = sink.dependent();
  if (!a.is_current(key)) return Entered::NeedsHold;
  return enter_current_node(a, sink, key, scope);
}
[[gnu::always_inline]] inline Entered enter_node(Arena& a, const DepSink& sink, NoHold& hold) {
  SeenScope scope;
  return enter_node(a, sink, hold, scope);
}

// The same for a node whose slot holds every entry only: its entries are
// then read without a second test. NeedsHold for any other; the roads that
// enter it then fault as their reads would.
[[gnu::always_inline]] inline Entered enter_whole_node(Arena& a, const DepSink& sink, SeenScope& scope,
                                                       TouchAt at = TouchAt::InPlace) {
  const SlotKey& key = sink.dependent();
  if (!a.current_with_every_entry(key)) return Entered::NeedsHold;
  return enter_current_node(a, sink, key, scope, at);
}

// Queues the run check of the sink's node (touched by the running wave),
// its mark just set in the queue epoch it reads.
struct PushRunCheck {
  static std::uint64_t queue_epoch() noexcept { return korvalinth::queue_epoch(); }
  [[gnu::always_inline]] void operator()(const DepSink& sink, const GraphCore& core) const {
    push_touched_run_check_marked(sink.dependent_core(), sink.dependent_count(), sink.dependent(), core.id());
  }
};

// Dep i's first DATA of the wave recorded in the sink's node (its edge
// entry e; its lists opened in place), and the node's run check queued by
// push when that settles its deps. held_back tells whether the node's run
// is held back, asked only when a dep is left pending. frame_id gives the
// open delivery frame's id.
template <class HeldBack, class FrameId = ReadFrameId, class Push = PushRunCheck>
[[gnu::always_inline]] inline void record_first_data(EdgeEntry& e, const HeldBack& held_back, const DepSink& sink,
                                                     GraphCore& core, std::uint64_t i, DepSlot& d, const Message& m,
                                                     FrameId frame_id = {}, Push push = {}) {
  const SharedValue& value = m.data_value();
  const std::uint64_t frame = frame_id();
  // The usual first DATA (no run lends, the dep's lists taken by the last
  // run) calls nothing, so the slot is kept in hand; any other is recorded
  // out of line.
  if (!StockedDepInputs::lends_any() && opens_first_list(d, frame)) [[likely]]
    record_first_data_in_place(e.state, d, value, frame);
  else
    record_first_data_rarely(e, i, d, value, frame);
  if (e.state.deps_settled_or_owe(held_back) && mark_run_check_queued(e, push.queue_epoch())) push(sink, core);
}

// A DATA whose whole work is to record its value and queue its node's run
// check, for a node entered whole under the borrow a, inside the delivery
// frame whose id frame_id gives (the caller tested it): from a dep not
// flagged, with no wave value to replace, to a node that serves no pulls.
// It replaces nothing, so nothing drops between the record and the push,
// and the push is made under the same borrow. False, with nothing changed,
// for any other DATA; the general record then takes it.
template <class FrameId, class Push = PushRunCheck>
[[gnu::always_inline]] inline bool record_plain_data(Arena& a, const DepSink& sink, GraphCore& core,
                                                     std::uint64_t i, const Message& m, FrameId frame_id,
                                                     Push push = {}) {
  LiveSlotsWithAux s = whole_slots_with_aux(a, sink.dependent().index);
  EdgeEntry& e = s.edge;
  // A terminal node, or one with a pull id, takes the general road: one
  // test of the state's flags asks both. That road checks the dep's index
  // first, as this one would.
  if (e.state.terminal() || e.state.has_pull_id()) return false;
  check_index(e.dep_state.size(), i);
  if (e.state.dep_flags_may_be_set()) {
    check_index(e.dep_links.size(), i);
    if (e.dep_links[i].flag) return false;
  }
  DepSlot& d = e.dep_state[i];
  if (d.wave_value) return false;
  // The node's other entries are read only when a dep is left pending: most
  // plain DATAs settle their node's last, and keep no more of it in hand.
  const auto held_back = [&a, &sink] {
    const LiveSlotsWithAux slots = whole_slots_with_aux(a, sink.dependent().index);
    return run_held_back(slots.config, slots.aux);
  };
  record_first_data(e, held_back, sink, core, i, d, m, frame_id, push);
  return true;
}

// A plain DATA (see record_plain_data) to a node that needs no hold,
// entered and recorded under the borrow a. False, with nothing recorded,
// for any other; the node may stay touched, and the general road enters
// it again.
// frame_id gives the open delivery frame's id.
template <class FrameId = ReadFrameId, class Push = PushRunCheck>
[[gnu::always_inline]] inline bool enter_and_record_plain_data(Arena& a, const DepSink& sink, GraphCore& core,
                                                               std::uint64_t i, const Message& m, SeenScope& scope,
                                                               FrameId frame_id = {}, Push push = {}) {
  return enter_whole_node(a, sink, scope) == Entered::Yes && record_plain_data(a, sink, core, i, m, frame_id, push);
}

// Whether a dep's DIRTY leaves the node clean: it waits for a pull.
[[gnu::always_inline]] inline bool dirty_pull_gated(const NodeState& state, const AuxEntry& aux) noexcept {
  return state.has_pull_id() && !aux.serving_pull();
}

// The dep at index i turned dirty, for a node entered under this borrow,
// whose entries are s: true when the node turns dirty itself (DIRTY goes on
// to its sinks).
[[gnu::always_inline]] inline bool record_dep_dirty(LiveSlotsWithAux& s, std::uint64_t i) {
  EdgeEntry& e = s.edge;
  if (e.state.terminal()) return false;
  check_index(e.dep_state.size(), i);
  return e.state.dep_dirty(e.dep_state[i], dirty_pull_gated(e.state, s.aux),
                           [&] { return s.aux.sinks.lone_dep_or_ignoring(); });
}

// Whether a DIRTY from the node s goes on to its lone dep sink only, whose
// node of the core the wave has touched already and whose own DIRTY would
// go no further: mark is then what that sink's call would mark. A first
// hop into a node goes out of line: the runs of nodes whose DIRTY reaches
// no sink keep a small loop.
[[gnu::always_inline]] inline bool lone_sink_takes_dirty_quietly(Arena& a, const GraphCore& core,
                                                                 const LiveSlotsWithAux& s, QuietHop& hop,
                                                                 QuietDirtyMark& mark) {
  const Sink* const lone = s.aux.sinks.lone_dep_sink();
  if (!lone) return false;
  return static_cast<const DepSink*>(lone)->hop_takes_dirty_quietly(a, core, hop, mark);
}

// A DIRTY to a node of core that needs no hold and whose DIRTY reaches no
// sink, or only a lone dep sink that takes it quietly, entered and marked
// under the borrow a (that sink's node too): it goes no further. False,
// with nothing marked, for any other; the node may stay touched, and the
// lone DIRTY's road enters it again.
// hop_fits: the stack is far from any check, so the hop the sink's call
// would charge against it cannot be the one refused.
[[gnu::always_inline]] inline bool enter_and_mark_quiet_dirty(Arena& a, const GraphCore& core, const DepSink& sink,
                                                              std::uint64_t i, bool hop_fits, QuietHop& hop,
                                                              SeenScope& scope) {
  NoHold hold;
  if (enter_node(a, sink, hold, scope) != Entered::Yes) return false;
  LiveSlotsWithAux s = current_slots_with_aux(a, sink.dependent().index);
  if (!s.aux.sinks.heeds_dirty()) {
    record_dep_dirty(s, i);
    return true;
  }
  if (!hop_fits) return false;
  QuietDirtyMark onward;
  if (!lone_sink_takes_dirty_quietly(a, core, s, hop, onward)) return false;
  if (record_dep_dirty(s, i)) onward.apply();
  return true;
}

}  // namespace korvalinth::dep_sink_steps

namespace korvalinth {

[[gnu::always_inline]] inline bool DepSink::enters_quietly(Arena& a, const GraphCore& core) const noexcept {
  // The wave's touch pins the node: a node nothing else holds is released
  // as the wave lowers that pin.
  return raw_core_ == &core && a.holds_every_entry(key_) && !a.release_due_at(key_.index, count_->count);
}

[[gnu::always_inline]] inline bool DepSink::takes_dirty_quietly(Arena& a, const GraphCore& core,
                                                                QuietDirtyMark& mark) const noexcept {
  if (detached()) return true;
  if (!enters_quietly(a, core)) return false;
  const LiveSlotsWithAux s = whole_slots_with_aux(a, key_.index);
  return dep_takes_dirty_quietly(s.edge, s.config, s.aux, mark);
}

[[gnu::always_inline]] inline bool DepSink::dep_takes_dirty_quietly(EdgeEntry& e, const ConfigEntry& config,
                                                                    const AuxEntry& aux,
                                                                    QuietDirtyMark& mark) const noexcept {
  if (e.state.terminal()) return true;
  const std::uint64_t dep = cell_.value;
  if (dep >= e.dep_state.size()) return false;
  const bool pull_gated = config.pull_id.has_value() && !aux.serving_pull();
  DepSlot& d = e.dep_state[dep];
  const bool turns_dirty = !d.pending && !pull_gated && !e.state.dirty_sent();
  if (turns_dirty && aux.sinks.heeds_dirty()) return false;
  mark = QuietDirtyMark{&e.state, &d, pull_gated};
  return true;
}

[[gnu::always_inline]] inline bool DepSink::hop_takes_dirty_quietly(Arena& a, const GraphCore& core, QuietHop& hop,
                                                                    QuietDirtyMark& mark) const noexcept {
  if (detached()) return true;
  if (hop.edge && key_ == hop.key && raw_core_ == &core)
    return dep_takes_dirty_quietly(*hop.edge, *hop.config, *hop.aux, mark);
  return first_hop_takes_dirty_quietly(a, core, hop, mark);
}

[[gnu::noinline]] inline bool DepSink::first_hop_takes_dirty_quietly(Arena& a, const GraphCore& core, QuietHop& hop,
                                                                     QuietDirtyMark& mark) const noexcept {
  // Touched already: the sink's call would touch it now, a record in the
  // wave's list this road would not make.
  if (!touched_in_installed_scope(a, key_) || !enters_quietly(a, core)) return false;
  const LiveSlotsWithAux s = whole_slots_with_aux(a, key_.index);
  hop = QuietHop{key_, &s.edge, &s.config, &s.aux};
  return dep_takes_dirty_quietly(s.edge, s.config, s.aux, mark);
}

[[gnu::always_inline]] inline bool DepSink::record_data_quietly(Arena& a, GraphCore& core, const Message& m) const {
  if (detached()) return true;
  if (!enters_quietly(a, core)) return false;
  const LiveSlotsWithAux s = whole_slots_with_aux(a, key_.index);
  EdgeEntry& e = s.edge;
  if (e.state.terminal() || s.config.pull_id) return false;
  const std::uint64_t dep = cell_.value;
  if (dep >= e.dep_state.size()) return false;
  if (e.state.dep_flags_may_be_set() && (dep >= e.dep_links.size() || e.dep_links[dep].flag)) return false;
  DepSlot& d = e.dep_state[dep];
  // The dep's first value of the wave, opening its empty lists in place:
  // nothing is replaced and nothing grows.
  if (d.wave_value || !d.deliveries.empty()) return false;
  // The last pending dep's value makes the node run: that is a wave's work.
  if (!e.state.owes_dep_besides(d)) return false;
  // Stamped with the caller's frame. The node still owes a dep, so nothing
  // is queued: the flush asks the queue once per run.
  dep_sink_steps::record_first_data(e, [&s] { return run_held_back(s.config, s.aux); }, *this, core, dep, d, m);
  return true;
}

[[gnu::always_inline]] inline bool DepSink::record_resolved_quietly(Arena& a, const GraphCore& core,
                                                                    std::uint64_t frame) const {
  if (detached()) return true;
  if (raw_core_ != &core || !a.holds_every_entry(key_) || !current_touched_in_installed_scope(a, key_.index))
    return false;
  const LiveSlotsWithAux s = whole_slots_with_aux(a, key_.index);
  EdgeEntry& e = s.edge;
  if (e.state.terminal()) return true;
  const std::uint64_t dep = cell_.value;
  if (s.config.pull_id || dep >= e.dep_state.size()) return false;
  DepSlot& d = e.dep_state[dep];
  // The last pending dep's RESOLVED queues the node's run check: that is
  // the delivery's work.
  if (!d.deliveries.opens_list_in_place() || !e.state.owes_dep_besides(d)) return false;
  dep_sink_steps::record_resolved(e.state, d, dep_sink_steps::KnownFrameId{frame});
  deps_settled_or_owe_run(e.state, s.config, s.aux);
  return true;
}

}  // namespace korvalinth
