#pragma once
// A queued item's check and run under its core's borrow, shared by the
// drain's roads: the lone item's road (its own file, so the run it takes
// into its frame leaves the other roads' inlining as it was) and the rest.

#include <type_traits>

#include "node/wave/pending.hpp"
#include "node/wave/run_found_body.hpp"
#include "node/wave/run_wave.hpp"

namespace korvalinth::queued {

// Starts a new epoch: the run-check marks set so far no longer stand for a
// queued item.
inline void start_queue_epoch() noexcept { ++detail::tls_queue_epoch; }

// The run check of a node whose entries s holds (NodeState::decide_run).
// Inlined: a drain checks each node of a chain once, and the call passed
// the entries through memory. The rules read the entries as they ask them.
[[gnu::always_inline]] inline RunDecision decide_run(const LiveSlotsWithAux& s) noexcept {
  return s.edge.state.decide_run(entry_run_inputs(s), run_held_back(s.config, s.aux));
}

// What a queued check found under its borrow: whether the node is
// terminal, and its run decision (Run: the run took place).
struct QueuedCheck {
  bool terminal = false;
  RunDecision decision = RunDecision::Nothing;
};

// The check of a current node under a; a due run starts from this borrow.
// No delivery is in progress: only the outermost frame's close drains, and
// each check returns to its depth.
template <bool RunHere = false>
[[gnu::always_inline]] inline QueuedCheck check_queued(RefMut<Arena>& a, const UncountedNode& node, PendingKind kind,
                                                      bool touched) {
  const std::uint64_t index = node.index();
  // The wave step's entries, checked once for the run check too.
  const CurrentWaveSlots wave = current_wave_slots(*a, index);
  QueuedCheck found{wave.edge.state.terminal(), RunDecision::Nothing};
  if (!found.terminal && kind == PendingKind::RunCheck) {
    // The mask's one test above tells the whole slot: not tested again.
    const LiveSlotsWithAux slots =
        wave.holds_every_entry ? whole_slots_with_aux(*a, index) : slots_beside_wave_entries(*a, index, wave);
    found.decision = decide_run(slots);
    if (found.decision == RunDecision::Run) {
      if constexpr (RunHere)
        run_wave_here(a, node, slots, touched);
      else
        run_wave(a, node, slots, touched);
    }
  }
  return found;
}

// What follows the check's borrow: a resolve check or a decided settle.
[[gnu::always_inline]] inline void finish_queued(const UncountedNode& node, PendingKind kind, QueuedCheck found) {
  if (found.terminal || found.decision == RunDecision::Run) return;
  if (kind == PendingKind::ResolveCheck)
    resolve_queued(node);
  else
    run_decided(node, found.decision);
}

// The check of a node the running wave has not touched (pending.cpp).
void drain_pinned_node(RefMut<Arena>& held, UncountedNode& node, PendingKind kind);
// Drains a queue whose vector holds an item, to empty (pending.cpp).
void drain_queued_items(PendingState& pending);
// Drains a queue holding the lone item alone (drain_lone.cpp); a queue that
// holds more, or gains more, it hands on to drain_queued_items.
// Lends: an item the installed scope pinned is drained lent; the first it
// did not pin goes on to the copy that holds the counts (Lends false).
template <bool Lends = true>
void drain_lone_items(PendingState& pending);

// Runs the queued check of a node whose core is held unless the node is
// gone or terminal. A node touched by the running wave is pinned by it
// already: its check holds no pin of its own; known_touched says the
// installed scope touched it (so its key is current still) without a look.
// Inlined, as take_node: drains nest once per node of a chain, so each call
// frame left out is saved per node.
template <bool RunHere = false>
[[gnu::always_inline]] inline void drain_held_node(UncountedNode& node, PendingKind kind, bool known_touched = false) {
  QueuedCheck found;
  {
    auto a = node.core_ref().borrow_mut();
    if (!known_touched) {
      const SlotKey key = node.key();
      if (!a->is_current(key)) return;
      if (!current_touched_in_installed_scope(*a, key.index)) return drain_pinned_node(a, node, kind);
    }
    found = check_queued<RunHere>(a, node, kind, true);
  }
  finish_queued(node, kind, found);
}

// Takes the lone item and runs its check; the lone item holds the owner's
// core. RunHere: a due run is made in the caller's frame. Lent: the
// installed scope pinned the item, so its node is drained lent.
template <bool RunHere, bool Lent = false>
[[gnu::always_inline]] inline void drain_lone(PendingState& pending) {
  const PendingKind lone_kind = pending.lone.kind;
  const bool touched = Lent || pending.lone.pinned_by_installed_scope(installed_scope_id());
  const auto take = [&] {
    if constexpr (Lent)
      return pending.lone.take_lent();
    else
      return pending.lone.take();
  };
  std::conditional_t<Lent, LentLoneNode, UncountedNode> lone_node = take();
  start_queue_epoch();
  drain_held_node<RunHere>(lone_node, lone_kind, touched);
}

}  // namespace korvalinth::queued
