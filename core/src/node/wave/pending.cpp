#include "node/wave/pending.hpp"

#include <new>

#include "node/wave/delivery.hpp"
#include "node/wave/down.hpp"
#include "node/wave/queued_check.hpp"
#include "node/wave/run_wave.hpp"

namespace korvalinth {

using namespace queued;

namespace {

// Empties the queue and starts a new epoch.
void empty_queue(std::vector<PendingItem>& q) noexcept {
  q.clear();
  start_queue_epoch();
}


// Swaps a kept buffer, if any, into taken, an empty vector without one.
void take_kept_buffer(KeptBuffers& kept, std::vector<PendingItem>& taken) noexcept {
  if (kept.ready == 0) return;
  taken.swap(kept.buffers[--kept.ready]);
}

void keep_buffer(KeptBuffers& kept, std::vector<PendingItem>& emptied) {
  if (kept.ready == KeptBuffers::kCount || emptied.capacity() == 0) return;
  kept.buffers[kept.ready++].swap(emptied);
}

// Whether q has room for one more item, grown as its push would grow it:
// false when the growth fails.
bool make_room_for_one(std::vector<PendingItem>& q) noexcept {
  if (q.size() < q.capacity()) return true;
  try {
    q.reserve(q.empty() ? 1 : 2 * q.size());
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

}  // namespace

namespace {
// The push that grows the vector, apart: the usual push into room it has
// then saves no registers.
[[gnu::noinline, gnu::flatten]] void push_owner_item_growing(std::vector<PendingItem>& q, const SharedCount& count,
                                                            const SlotKey& key, CoreId core_id, PendingKind kind) {
  q.emplace_back(count, key, core_id, kind);
}
}  // namespace

// A fan-out pushes here once per node.
void push_owner_item(PendingState& pending, const SharedCount& count, const SlotKey& key, CoreId core_id,
                     PendingKind kind, std::uint64_t pinned_by) {
  std::vector<PendingItem>& q = pending.queue;
  // Written only when it changes, as a wave's first push to the vector
  // finds: a fan-out's later pushes find it so already.
  if (pending.queue_pinned_by != pinned_by) [[unlikely]]
    pending.queue_pinned_by = q.empty() ? pinned_by : LoneOwnerItem::kNotPinned;
  if (q.size() == q.capacity()) [[unlikely]]
    return push_owner_item_growing(q, count, key, core_id, kind);
  q.emplace_back(count, key, core_id, kind);
}

// Called at every wave's end, also after a fault: it must not fail.
void keep_queued_owner_items_past_wave() {
  PendingState& pending = pending_state();
  std::vector<PendingItem>& q = pending.queue;
  // The lone item goes first, as it was queued; the walk below gives it its
  // core as it does the others. Without room it stays in its slot, holding
  // its core: a drain takes it ahead of the vector's items all the same.
  pending.lone.stop_lending();  // the wave's pins go with it
  if (pending.lone.waiting() && make_room_for_one(q)) {
    const UncountedNode lone = pending.lone.take();
    q.emplace(q.begin(), lone.count(), lone.key(), pending.lone.core_id, pending.lone.kind);
  }
  for (PendingItem& it : q) {
    if (const CoreRef* owner = installed_owner_ref(it.core_id)) it.core = *owner;
  }
}

void grow_touched_list(TouchedList& touched, Arena& arena, SlotKey key) {
  try {
    touched.grow();
  } catch (...) {
    arena.drop_pin(key);
    arena.set_touch_stamp(key.index, 0);
    throw;
  }
}

bool touch_in_frame(WaveScope& scope, Arena& a, const CoreRef& core, const SharedCount& count, SlotKey key) {
  if (!a.is_current(key)) return false;
  touch_current_in_frame(scope, a, core, count, key);
  return true;
}

namespace {
// The touch of a node found current and not touched, with a record: it
// holds the node's core only when it is not the scope owner's.
[[gnu::always_inline]] inline void touch_recorded(WaveScope& scope, Arena& a, const CoreRef& core, const SharedCount& count,
                                                  SlotKey key, CoreId id) {
  touch_untouched_in_frame(scope, a, id != scope.owner_core ? &core : nullptr, count, key, id);
}

}  // namespace

void touch_current_in_frame(WaveScope& scope, Arena& a, const CoreRef& core, const SharedCount& count, SlotKey key) {
  if (a.touch_stamp(key.index) == scope.scope_id) return;
  if (touches_owner_first(scope, count)) return touch_owner_first(scope, a, key);
  touch_recorded(scope, a, core, count, key, core->id());
}

void touch_recorded_in_installed_scope(Arena& a, const UncountedNode& node) {
  touch_recorded(*wave_scope_cell().unguarded(), a, node.core(), node.count(), node.key(), node.core()->id());
}

void touch_in_current_frame(const UncountedNode& node) {
  if (installed_scope_id() == 0) return;
  // One borrow for the node's key and touch and, if due, the touch itself.
  auto a = node.core_ref().borrow_mut();
  if (!a->is_current(node.key())) return;
  touch_current_in_installed_scope(*a, node);
}

void push_pending(const UncountedNode& node, PendingKind kind) {
  const CoreId id = node.core_id();
  // A run check of a current node is found through its mark, a resolve
  // check through the queue's table; a run check of a node no longer
  // current by a search of the queue.
  bool marked = false;
  if (kind == PendingKind::RunCheck) {
    auto a = node.core_ref().borrow_mut();
    EdgeEntry* edge = a->is_current(node.key()) ? a->find_edge(node.index()) : nullptr;
    if (edge) {
      if (!mark_run_check_queued(*edge)) return;
      marked = true;
    }
  }
  PendingState& pending = pending_state();
  std::vector<PendingItem>& q = pending.queue;
  if (kind == PendingKind::ResolveCheck) {
    if (!queued_resolve_checks().insert(id, node.key(), detail::tls_queue_epoch)) return;
  } else if (!marked) {
    const auto is_this = [&](PendingKind k, CoreId core, SlotKey key) {
      return k == kind && core == id && key == node.key();
    };
    const LoneOwnerItem& lone = pending.lone;
    if (lone.waiting() && is_this(lone.kind, lone.core_id, lone.node->key())) return;
    for (const PendingItem& it : q) {
      if (is_this(it.kind, it.core_id, it.key)) return;
    }
  }
  push_item(pending, node.core(), node.count(), node.key(), id, kind);
}

void push_run_check_marked(const UncountedNode& node) {
  push_item(pending_state(), node.core(), node.count(), node.key(), node.core_id(), PendingKind::RunCheck);
}

void clear_pending_queue() {
  // The items drop after the queue is emptied: dropping a core runs code.
  std::vector<PendingItem> dropped;
  UncountedNode dropped_lone;
  PendingState& pending = pending_state();
  dropped = std::move(pending.queue);
  if (pending.lone.waiting()) dropped_lone = pending.lone.take();
  empty_queue(pending.queue);
}

// The check of a current node the running wave has not touched: pinned for
// the check, and given back after the node's references. Out of line: the
// nodes a wave queues are touched by it.
[[gnu::noinline]] void queued::drain_pinned_node(RefMut<Arena>& held, UncountedNode& node, PendingKind kind) {
  PinnedNode pin;  // given back also when a check faults
  QueuedCheck found;
  {
    RefMut<Arena> a = std::move(held);
    a->add_pin(node.index());
    pin = PinnedNode(node.core(), node.count(), node.key());
    found = check_queued(a, node, kind, false);
  }
  finish_queued(node, kind, found);
  node.drop();
  pin.unpin();
}

namespace {

// The same for a node whose core may be gone (empty).
[[gnu::always_inline]] inline void drain_node(UncountedNode& node, PendingKind kind, bool known_touched = false) {
  if (!node.empty()) drain_held_node(node, kind, known_touched);
}

// The item's node, taking the item's count record (a gone core: empty).
[[gnu::always_inline]] inline UncountedNode take_node(PendingItem& it) {
  return UncountedNode(lock_core(it.core, it.core_id), std::move(it.count), it.key);
}

}  // namespace

namespace {

// The handle the taken items of the owner's core run through, renamed to
// each in turn: it takes that core's reference once for the drain. id names
// its core while it holds one.
struct OwnerHandle {
  UncountedNode& node;
  CoreId id = 0;
};

// Runs the taken item's check of kind pass, through owner when it is of the
// owner's core; touched: the installed scope touched the node of each of
// the owner's items when it was queued (so their keys are current still).
[[gnu::always_inline]] inline void drain_taken_item(PendingItem& it, PendingKind pass, OwnerHandle& owner,
                                                    bool touched) {
  if (it.core_id != owner.id || owner.node.empty()) [[unlikely]] {
    const CoreRef* ref = installed_owner_ref(it.core_id);
    if (ref == nullptr) {
      UncountedNode node = take_node(it);
      return drain_node(node, pass);
    }
    // A handle of another core is rebound too: its slots are not this item's.
    if (owner.node.empty() || owner.node.core().get() != ref->get())
      owner.node = UncountedNode(*ref, SharedCount(), SlotKey{});
    owner.id = it.core_id;
  }
  owner.node.rename(it.count, it.key);
  drain_held_node(owner.node, pass, touched);
}

// The handle the owner's items run through: the lone node, of the owner's
// core, once its run check is done; spare while it waits for its resolve
// check.
[[gnu::always_inline]] inline OwnerHandle owner_handle(UncountedNode& lone_node, CoreId lone_core,
                                                       PendingKind lone_kind, UncountedNode& spare) {
  return lone_kind == PendingKind::RunCheck ? OwnerHandle{lone_node, lone_core} : OwnerHandle{spare};
}

// The lone item taken with the vector's, ahead of them.
struct TakenLone {
  UncountedNode node;  // empty: none waited
  CoreId core_id = 0;
  PendingKind kind = PendingKind::RunCheck;
};

// The run-check pass over the taken items, counting the resolve checks it
// passes by. Touched: as touched for drain_taken_item, known at compile
// time so that the loop tests it not once per item; both forms are inlined
// into the one frame of drain_taken.
template <bool Touched>
[[gnu::always_inline]] inline void drain_run_checks(std::vector<PendingItem>& taken, OwnerHandle& owner,
                                                    std::size_t& resolve_checks) {
  for (PendingItem& it : taken) {
    if (it.kind != PendingKind::RunCheck) {
      ++resolve_checks;
      continue;
    }
    drain_taken_item(it, PendingKind::RunCheck, owner, Touched);
  }
}

// Runs the taken items, the lone one first: run checks first, then resolve
// checks. The items' kinds stay put while they run, so the run-check pass
// counts the resolve checks and the second pass is walked only when there
// are some. touched: as for drain_taken_item. Inline: drains of several
// nest, and drain_several's one frame is all each takes.
[[gnu::always_inline]] inline void drain_taken(TakenLone& lone, std::vector<PendingItem>& taken, bool touched) {
  UncountedNode spare;
  OwnerHandle owner = owner_handle(lone.node, lone.core_id, lone.kind, spare);
  std::size_t resolve_checks = 0;
  if (!lone.node.empty()) {
    if (lone.kind == PendingKind::RunCheck)
      drain_node(lone.node, PendingKind::RunCheck);
    else
      ++resolve_checks;
  }
  if (touched)
    drain_run_checks<true>(taken, owner, resolve_checks);
  else
    drain_run_checks<false>(taken, owner, resolve_checks);
  if (resolve_checks == 0) return;
  if (!lone.node.empty() && lone.kind == PendingKind::ResolveCheck) drain_node(lone.node, PendingKind::ResolveCheck);
  for (PendingItem& it : taken) {
    if (it.kind == PendingKind::ResolveCheck) drain_taken_item(it, PendingKind::ResolveCheck, owner, touched);
  }
}

// Takes the several queued items and runs them. Out of line: the lone
// item's road keeps a small frame.
[[gnu::noinline]] void drain_several(PendingState& pending) {
  std::vector<PendingItem> taken;
  take_kept_buffer(pending.kept, taken);
  TakenLone lone;
  const bool touched = pending.queue_pinned_by == installed_scope_id();
  taken.swap(pending.queue);
  if (pending.lone.waiting()) {
    lone.kind = pending.lone.kind;
    lone.core_id = pending.lone.core_id;
    lone.node = pending.lone.take();
  }
  start_queue_epoch();
  drain_taken(lone, taken, touched);
  taken.clear();
  keep_buffer(pending.kept, taken);
}

// Takes the lone item and the vector's only one and runs them, as
// drain_several would: the queue keeps its buffer, emptied, and no buffer
// changes hands. A diamond's delivery queues these two.
[[gnu::noinline]] void drain_lone_and_one(PendingState& pending) {
  const PendingKind lone_kind = pending.lone.kind;
  const CoreId lone_core = pending.lone.core_id;
  const std::uint64_t scope_id = installed_scope_id();
  const bool lone_touched = pending.lone.pinned_by_installed_scope(scope_id);
  const bool only_touched = pending.queue_pinned_by == scope_id;
  UncountedNode lone_node = pending.lone.take();
  PendingItem only = std::move(pending.queue.back());
  pending.queue.pop_back();
  start_queue_epoch();
  // Run checks first, then resolve checks, each in queue order.
  UncountedNode spare;
  OwnerHandle owner = owner_handle(lone_node, lone_core, lone_kind, spare);
  if (lone_kind == PendingKind::RunCheck) drain_node(lone_node, PendingKind::RunCheck, lone_touched);
  if (only.kind == PendingKind::RunCheck) drain_taken_item(only, PendingKind::RunCheck, owner, only_touched);
  if (lone_kind == PendingKind::ResolveCheck) drain_node(lone_node, PendingKind::ResolveCheck);
  if (only.kind == PendingKind::ResolveCheck) drain_taken_item(only, PendingKind::ResolveCheck, owner, only_touched);
}

}  // namespace

// Out of line, each run in a frame of its own: the lone road's wide frame is
// not nested by these.
[[gnu::noinline]] void queued::drain_queued_items(PendingState& pending) {
  for (;;) {
    std::vector<PendingItem>& q = pending.queue;
    if (q.empty()) {
      if (!pending.lone.waiting()) return;
      drain_lone<false>(pending);
      continue;
    }
    if (q.size() != 1) {
      drain_several(pending);
      continue;
    }
    if (pending.lone.waiting()) {
      drain_lone_and_one(pending);
      continue;
    }
    // A single item of the vector, taken without the two passes.
    PendingItem& only = q.back();
    UncountedNode single = take_node(only);
    const PendingKind single_kind = only.kind;
    const bool single_touched = pending.queue_pinned_by == installed_scope_id();
    // The queue emptied without a walk of its buffer.
    q.pop_back();
    start_queue_epoch();
    drain_node(single, single_kind, single_touched);
  }
}

void drain_queued(PendingState& pending) {
  // Each road's frame is its own: the tests come before any is made.
  if (pending.queue.empty()) return drain_lone_items(pending);
  drain_queued_items(pending);
}

RunDecision run_decision(Arena& a, SlotKey key) {
  a.check(key);
  return current_run_decision(a, key.index);
}

RunDecision current_run_decision(Arena& a, std::uint64_t index) { return decide_run(current_slots_with_aux(a, index)); }

namespace {

// The value a node without a function settles to: its first dep's latest.
SharedValue first_dep_latest(const UncountedNode& node) {
  SharedValue old_latest;  // dropped after the borrow
  auto a = node.core_ref().borrow_mut();
  EdgeEntry& e = a->wave_edge(node.key());
  // A node without deps, or one never connected, has no dep state to read.
  if (e.dep_state.empty()) return nullptr;
  DepSlot& d0 = e.dep_state[0];
  if (d0.wave_value) {
    StockedDepInputs::keep_lent_input(e.dep_state.data(), 0);
    old_latest = std::exchange(d0.latest, *d0.wave_value);
  }
  SharedValue out = d0.latest;
  a.release();
  return out;
}

}  // namespace

void settle_from_deps(const UncountedNode& node) {
  SharedValue v = first_dep_latest(node);
  if (v) down(node, Message::data(std::move(v)));
}

void run_queued(const UncountedNode& node) {
  if (delivery_depth() != 0) {
    push_pending(node, PendingKind::RunCheck);
    return;
  }
  RunDecision decision;
  {
    auto a = node.core_ref().borrow_mut();
    decision = run_decision(*a, node.key());
  }
  run_decided(node, decision);
}

void run_decided(const UncountedNode& node, RunDecision decision) {
  if (decision == RunDecision::Run) {
    run_wave(node);
  } else if (decision == RunDecision::Settle) {
    settle_from_deps(node);
  } else if (decision == RunDecision::Resolve) {
    down(node, Message::resolved());
  }
}

void resolve_queued(const UncountedNode& node) {
  if (delivery_depth() != 0) {
    push_pending(node, PendingKind::ResolveCheck);
    return;
  }
  {
    auto a = node.core_ref().borrow();
    if (!a->wave_edge(node.key()).state.owes_resolved()) return;
  }
  bool any_wave_values = false;
  {
    auto a = node.core_ref().borrow();
    a->check(node.key());
    for (const DepSlot& d : a->edge_at(node.index()).dep_state)
      any_wave_values |= d.wave_value.has_value();
  }
  if (any_wave_values) run_queued(node);
  bool dirty_sent;
  {
    auto a = node.core_ref().borrow();
    dirty_sent = a->wave_edge(node.key()).state.dirty_sent();
  }
  if (dirty_sent) {
    down(node, Message::resolved());
  }
}

}  // namespace korvalinth
