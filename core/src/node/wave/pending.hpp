#pragma once
// Wave touches and the per-thread pending queue. A wave pins every node it
// touches once (the installed WaveScope's touched list). Run checks and
// resolve checks of nodes whose deps settled wait in the pending queue until
// no down is in progress, and run when the outermost down returns: so a
// diamond runs each node once per wave.

#include <cstdint>

#include "node/arena/graph_core.hpp"
#include "node/wave/pending_queue.hpp"
#include "node/wave/wave_scope.hpp"

namespace korvalinth {

// Whether a slot whose key the caller found current is touched (so pinned)
// by the scope whose id is id (0: none).
inline bool touched_by_scope(const Arena& a, std::uint64_t index, std::uint64_t id) noexcept {
  return id != 0 && a.touch_stamp(index) == id;
}
// The same for the installed scope.
inline bool current_touched_in_installed_scope(const Arena& a, std::uint64_t index) noexcept {
  return touched_by_scope(a, index, installed_scope_id());
}
// Whether the node is current and touched (so pinned) by the installed scope.
inline bool touched_in_installed_scope(const Arena& a, SlotKey key) noexcept {
  return installed_scope_id() != 0 && a.is_current(key) && current_touched_in_installed_scope(a, key.index);
}

// Records and pins the node in the installed scope, once per scope.
void touch_in_current_frame(const UncountedNode& node);
// Touches the node, with the core's arena borrowed by the caller; false when
// the key is not current.
bool touch_in_frame(WaveScope& scope, Arena& arena, const CoreRef& core, const SharedCount& count, SlotKey key);
// As touch_in_frame, for a key the caller found current under that borrow.
void touch_current_in_frame(WaveScope& scope, Arena& arena, const CoreRef& core, const SharedCount& count, SlotKey key);
// Grows the touched list for a touch that pinned and stamped the slot key
// names: a failed growth lowers the pin and clears the stamp again before
// its fault goes on, so the node stays releasable.
[[gnu::cold]] void grow_touched_list(TouchedList& touched, Arena& arena, SlotKey key);
// Makes room for the record of that touch, growing the list if it is full.
[[gnu::always_inline]] inline void make_touched_room(TouchedList& touched, Arena& arena, SlotKey key) {
  if (!touched.has_room()) grow_touched_list(touched, arena, key);
}

// The touch itself, for a key the caller found current and not touched by
// scope under that borrow, of the core named by id: other_core is null when
// it is the scope owner's, whose reference outlives the wave. Inlined: a
// DIRTY touches each node of a chain once, in place. stamp is the scope's
// id, which a dep sink's line holds already.
[[gnu::always_inline]] inline void touch_untouched_in_frame(WaveScope& scope, Arena& arena, const CoreRef* other_core,
                                                            const SharedCount& count, SlotKey key, CoreId id,
                                                            std::uint64_t stamp) {
  arena.add_pin(key.index);
  arena.set_touch_stamp(key.index, stamp);
  make_touched_room(scope.touched, arena, key);
  // A touched node's count record holds it: the record shares it untested.
  if (other_core) {
    scope.touched.emplace_reserved(*other_core, SharedCount::share_of_held(count), key, id);
    scope.other_core_touched = true;
  } else
    scope.touched.emplace_reserved(CoreRef(), SharedCount::share_of_held(count), key, id);
}
// The same, the id read from the scope.
[[gnu::always_inline]] inline void touch_untouched_in_frame(WaveScope& scope, Arena& arena, const CoreRef* other_core,
                                                            const SharedCount& count, SlotKey key, CoreId id) {
  touch_untouched_in_frame(scope, arena, other_core, count, key, id, scope.scope_id);
}

// Whether the touch of a node whose count record is count is the owning
// operation's node's, before any other node: that touch goes without a
// record (see WaveScope::owner_first), and most waves make it first. A
// count record is one node's own, so it names the node and its core.
[[gnu::always_inline]] inline bool touches_owner_first(const WaveScope& scope, const SharedCount& count) {
  return count.get() == scope.owner_count && scope.touched.empty() && !scope.owner_first;
}
// The room for the record the wave's end may put back at the head is made
// with the touch: putting it back then cannot fail.
[[gnu::always_inline]] inline void touch_owner_first(WaveScope& scope, Arena& a, SlotKey key) {
  a.add_pin(key.index);
  a.set_touch_stamp(key.index, scope.scope_id);
  make_touched_room(scope.touched, a, key);
  scope.owner_first = true;
  scope.owner_key = key;
}
// The touch of a node found current and untouched under the borrow a, with
// a record (see touch_current_in_installed_scope).
void touch_recorded_in_installed_scope(Arena& a, const UncountedNode& node);
// As touch_in_current_frame, for a node found current under the caller's
// borrow a, with a scope installed. Inline for its commonest case, the
// owning operation's node touched first: each set's wave makes it. The
// scope's cell is not borrowed: the touch calls nothing out, and no holder
// of its borrow reaches a touch. A nonzero id is an installed scope.
inline void touch_current_in_installed_scope(Arena& a, const UncountedNode& node) {
  const std::uint64_t id = installed_scope_id();
  if (id == 0 || a.touch_stamp(node.index()) == id) return;
  WaveScope& scope = *wave_scope_cell().unguarded();
  if (touches_owner_first(scope, node.count())) [[likely]]
    return touch_owner_first(scope, a, node.key());
  touch_recorded_in_installed_scope(a, node);
}

// Queues an item of the owner's core in the pending vector, built in place:
// no item is moved and dropped. pinned_by: the scope that touched the node,
// or LoneOwnerItem::kNotPinned (the vector's items note whether one scope
// touched all).
void push_owner_item(PendingState& pending, const SharedCount& count, const SlotKey& key, CoreId core_id,
                     PendingKind kind, std::uint64_t pinned_by);
// The same for an item watching its core (either reference).
template <class AnyCore>
[[gnu::noinline]] void push_watched_item(PendingState& pending, const AnyCore& core, const SharedCount& count,
                                         const SlotKey& key, CoreId core_id, PendingKind kind) {
  pending.queue.emplace_back(WeakCore(core), count, key, core_id, kind);
  pending.queue_pinned_by = LoneOwnerItem::kNotPinned;
}

// pinned_by for an item whose node the installed scope touched: that
// scope's id, read when asked. It is never LoneOwnerItem::kNotPinned, so
// the lone slot holds the item lent without asking.
struct TouchingScopeId {
  static constexpr bool kTouched = true;
  std::uint64_t operator()() const noexcept { return installed_scope_id(); }
};
// The same, read already.
struct KnownTouchingScopeId {
  static constexpr bool kTouched = true;
  std::uint64_t id;
  std::uint64_t operator()() const noexcept { return id; }
};

// Queues an item for the node of core_id in the pending queue, watching
// core unless it is the owner's (owner: installed_owner_ref(core_id)). The
// owner's item queued first waits in the lone slot: tested inline, as a
// chain queues one per node. pinned_by() gives the installed scope's id
// when it touched the node, else LoneOwnerItem::kNotPinned (the item notes
// it), asked only for an item of the owner's core. A run of pushes of one
// core reads both once.
template <class AnyCore, class PinnedBy>
[[gnu::always_inline]] inline void push_item_read(PendingState& pending, const CoreRef* owner, const PinnedBy& pinned_by,
                                                  const AnyCore& core, const SharedCount& count, SlotKey key,
                                                  CoreId core_id, PendingKind kind) {
  if (owner == nullptr) return push_watched_item(pending, core, count, key, core_id, kind);
  LoneOwnerItem& lone = pending.lone;
  if (!lone.waiting() && pending.queue.empty()) {
    if constexpr (requires { PinnedBy::kTouched; })
      return lone.hold_lent(*owner, count, key, core_id, kind, pinned_by());
    else
      return lone.hold(*owner, count, key, core_id, kind, pinned_by());
  }
  push_owner_item(pending, count, key, core_id, kind, pinned_by());
}

// The same, reading both; touched: the installed scope touched the node.
template <class AnyCore>
[[gnu::always_inline]] inline void push_item(PendingState& pending, const AnyCore& core, const SharedCount& count,
                                             SlotKey key, CoreId core_id, PendingKind kind, bool touched = false) {
  const auto pinned_by = [touched] { return touched ? installed_scope_id() : LoneOwnerItem::kNotPinned; };
  push_item_read(pending, installed_owner_ref(core_id), pinned_by, core, count, key, core_id, kind);
}

// Queues a check of the node, at most once per kind until drained.
void push_pending(const UncountedNode& node, PendingKind kind);
// Queues a run check whose mark the caller has just set (see queue_epoch).
void push_run_check_marked(const UncountedNode& node);
// The same, inline: a dep sink queues one per node of a chain, and a call
// frame costs about a third of the push. touched: the installed scope
// touched the node.
[[gnu::always_inline]] inline void push_run_check_marked(const WeakCore& core, const SharedCount& count, SlotKey key,
                                                         CoreId core_id, bool touched) {
  push_item(pending_state(), core, count, key, core_id, PendingKind::RunCheck, touched);
}
// The same for a node the installed scope touched.
[[gnu::always_inline]] inline void push_touched_run_check_marked(const WeakCore& core, const SharedCount& count,
                                                                 SlotKey key, CoreId core_id) {
  push_item_read(pending_state(), installed_owner_ref(core_id), TouchingScopeId{}, core, count, key, core_id,
                 PendingKind::RunCheck);
}

// Whether an item waits in the queue: most frames close on an empty one,
// seen inline.
[[gnu::always_inline]] inline bool pending_waits(const PendingState& pending) noexcept {
  return pending.lone.waiting() || !pending.queue.empty();
}

namespace detail {
// Raised each time the queue is taken or emptied: a node's queued-run mark
// (EdgeEntry::run_check_epoch) counts only when it equals the current value,
// so taking the queue clears every mark at once.
inline constinit thread_local std::uint64_t tls_queue_epoch KORVALINTH_FAST_TLS = 1;
}
inline std::uint64_t queue_epoch() noexcept { return detail::tls_queue_epoch; }
// Marks the node's run check as queued in the queue epoch epoch (the
// current one): false when it is marked already, so the node is not
// queued again.
[[gnu::always_inline]] inline bool mark_run_check_queued(EdgeEntry& e, std::uint64_t epoch = queue_epoch()) {
  std::uint64_t& mark = e.run_check_epoch;
  if (mark == epoch) return false;
  mark = epoch;
  return true;
}
// drain_pending for a queue with an item waiting.
void drain_queued(PendingState& pending);
// Runs the queue to empty: run checks first, then resolve checks, per pass.
inline void drain_pending() {
  PendingState& pending = pending_state();
  if (pending_waits(pending)) drain_queued(pending);
}
void run_queued(const UncountedNode& node);
// Runs the node, settles it from its first dep or resolves it, as decided
// by run_decision.
void run_decided(const UncountedNode& node, RunDecision decision);
void resolve_queued(const UncountedNode& node);

// The run check of the node under the caller's borrow (NodeState::decide_run).
RunDecision run_decision(Arena& arena, SlotKey key);
// The same for a slot whose key the caller found current under that borrow.
RunDecision current_run_decision(Arena& arena, std::uint64_t index);
// Settles a node without a function to its first dep's latest value.
void settle_from_deps(const UncountedNode& node);

// Lets the queued items of the owning operation's core watch it instead of
// holding it: called before that operation's reference may go.
void keep_queued_owner_items_past_wave();
// The same; a wave leaves its queue empty but for a fault, so the empty
// queue is seen without a call.
inline void keep_owner_items_past_wave() {
  const PendingState& pending = pending_state();
  // Spelled out: through pending_waits, GCC lays the queue's test out of
  // line here, an instruction more per wave.
  if (pending.lone.waiting() || !pending.queue.empty()) keep_queued_owner_items_past_wave();
}
// Drops every queued item without running it.
void clear_pending_queue();

}  // namespace korvalinth
