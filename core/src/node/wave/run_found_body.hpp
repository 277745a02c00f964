#pragma once
// The body of a node's run (run_found), inline: the drain's lone-item road
// takes it into its own frame, one physical frame per node of a chain.

#include <utility>

#include "base/drop_fault.hpp"
#include "base/scope_exit.hpp"
#include "base/thread_block.hpp"
#include "node/wave/down.hpp"
#include "node/wave/quiet_settle.hpp"
#include "node/wave/quiet_settle_body.hpp"
#include "node/wave/run_wave.hpp"
#include "node/wave/stack_guard.hpp"
#include "node/wave/wave_scope.hpp"

namespace korvalinth {

namespace run_body {

// Clears the fn-running flag in the node's edge entry e, unless nothing
// keeps the node any more.
inline void end_running(Arena& a, EdgeEntry& e, const UncountedNode& node) {
  if (node.count()->count == 0 && a.pin_count(node.key().index) == 0) return;
  e.state.end_run();
}

// The same, if the node still exists.
inline void end_running(Arena& a, const UncountedNode& node) {
  if (!a.is_current(node.key())) return;
  end_running(a, a.wave_edge(node.key()), node);
}

// The callbacks a run drops uncalled, release callbacks first.
struct OldCallbacks {
  std::vector<ReleaseCallback> release;
  std::vector<InvalidateCallback> invalidate;
};

// A dep that brought nothing this wave: no value, delivery or terminal.
inline bool quiet_this_wave(const DepSlot& d) noexcept {
  return !d.wave_value && !d.terminal_input_present() && d.deliveries.empty();
}

// Zero when quiet for sure, one test for the three fields: no list opened
// this wave (a slot without a stamp has none), no wave value, never ended. A
// slot that fails it may still be quiet: it then takes the full test.
inline std::uintptr_t quiet_bits(const DepSlot& d) noexcept {
  return (d.stamp ^ kNoStamp) | reinterpret_cast<std::uintptr_t>(d.ended.get()) | d.wave_value.has_value();
}
inline bool surely_quiet(const DepSlot& d) noexcept { return quiet_bits(d) == 0; }

// A dep that brought something this wave: its terminal and deliveries are
// handed once, by a move, its latest and current value as shares.
[[gnu::always_inline]] inline void hand_over_wave(DepInput* at, DepSlot& d) noexcept {
  ::new (at) DepInput(d.take_terminal_input(), std::move(d.deliveries), d.latest,
                       d.wave_value ? &*d.wave_value : nullptr);
}

// Dep d's input in a wide run over the dep states at slots; its index is
// worked out only when noted. Inline: a call per loud dep cost more.
[[gnu::always_inline]] inline void make_wide_input(DepInput* at, DepSlot& d, const DepSlot* slots,
                                                   StockedDepInputs& inputs) noexcept {
  if (!surely_quiet(d)) [[unlikely]] {
    d.stamp = kNoStamp;
    if (!quiet_this_wave(d)) {
      hand_over_wave(at, d);
      inputs.note_owned(static_cast<std::size_t>(&d - slots));
      return;
    }
  }
  ::new (at) DepInput(LentLatest{}, d.latest);
}

// Zero when the K slots from d on are all quiet for sure: their stamps are
// tested together (the no-stamp value has every bit set).
template <std::size_t... K>
inline std::uintptr_t quiet_bits_together(const DepSlot* d, std::index_sequence<K...>) noexcept {
  const std::uint64_t stamps = (d[K].stamp & ...);
  const std::uintptr_t ended = (reinterpret_cast<std::uintptr_t>(d[K].ended.get()) | ...);
  const bool waves = (d[K].wave_value.has_value() | ...);
  return (stamps ^ kNoStamp) | ended | waves;
}
// Their inputs, each lent its slot's latest value.
template <std::size_t... K>
inline void lend_together(DepInput* at, const DepSlot* d, std::index_sequence<K...>) noexcept {
  (::new (at + K) DepInput(LentLatest{}, d[K].latest), ...);
}
// The inputs of the groups of Size slots from d on while a group fits
// before end; d and at are left past them.
template <std::size_t Size>
[[gnu::always_inline]] inline void make_wide_inputs_in_groups(DepInput*& at, DepSlot*& d, DepSlot* const end,
                                                              const DepSlot* slots, StockedDepInputs& inputs) {
  constexpr auto group = std::make_index_sequence<Size>{};
  DepSlot* const groups_end = d + static_cast<std::size_t>(end - d) / Size * Size;
  for (; d != groups_end; d += Size, at += Size) {
    if (quiet_bits_together(d, group) == 0) [[likely]] {
      lend_together(at, d, group);
      continue;
    }
    for (std::size_t k = 0; k < Size; ++k) make_wide_input(at + k, d[k], slots, inputs);
  }
}

// A wide run's inputs: its quiet deps lend their latest values, no count
// per dep either way. Out of line: the narrow road below stays inlined.
[[gnu::noinline]] inline void lend_run_inputs(DepSlot* slots, std::size_t n, StockedDepInputs& inputs) {
  inputs.make_room(n);
  inputs.lend_from(slots, n);
  inputs.append_all_made(n, [slots, n, &inputs](DepInput* at) noexcept {
    // Nearly every slot is quiet: eight are told so by one test, the rest
    // two at a time.
    DepSlot* d = slots;
    DepSlot* const end = slots + n;
    make_wide_inputs_in_groups<8>(at, d, end, slots, inputs);
    make_wide_inputs_in_groups<2>(at, d, end, slots, inputs);
    if (d != end) make_wide_input(at, *d, slots, inputs);
  });
}

// Hands each dep's wave state to the run's inputs; a quiet dep's input is
// a share of its latest value, or lent in a wide run.
[[gnu::always_inline]] inline void take_run_inputs(EdgeEntry& e, std::size_t n, StockedDepInputs& inputs) {
  DepSlot* const slots = e.dep_state.data();
  // Inline in both uses: out of line, a one-dep run paid a call for it.
  auto make = [slots] [[gnu::always_inline]] (DepInput* at, std::size_t i) noexcept {
    DepSlot& d = slots[i];
    d.stamp = kNoStamp;
    if (quiet_this_wave(d)) [[likely]] {
      ::new (at) DepInput(d.latest);
      return;
    }
    hand_over_wave(at, d);
  };
  // A one-dep run, the most common, makes its input without a loop, told
  // apart first.
  if (n == 1) [[likely]]
    return inputs.append_made(1, make);
  if (n > kInlineDepInputs) [[unlikely]]
    return lend_run_inputs(slots, n, inputs);
  inputs.append_made(n, make);
}

// The values of this wave become the deps' latest; a replaced one that
// still has another holder (usually the run's input) is dropped here, the
// others go to old_latest, to be dropped after the borrow.
[[gnu::always_inline]] inline void move_wave_value(DepSlot& d, SmallVec<SharedValue, 2>& old_latest) {
  d.latest.swap(*d.wave_value);
  if (!d.wave_value->drop_unless_last()) old_latest.push_back(std::move(*d.wave_value));
  d.wave_value.reset();
}
// The loop over the dep states, out of line: in the drain's frame it kept
// its place in memory.
[[gnu::noinline]] inline void move_each_wave_value(EdgeEntry& e, SmallVec<SharedValue, 2>& old_latest) {
  for (DepSlot& d : e.dep_state)
    if (d.wave_value) move_wave_value(d, old_latest);
}
// Whether any of the K slots from d on has a wave value.
template <std::size_t... K>
inline bool any_wave_value(const DepSlot* d, std::index_sequence<K...>) noexcept {
  return (d[K].wave_value.has_value() | ...);
}
// The first slot from d on (before end) with a wave value, else end. A wide
// run's slots are nearly all without one: past the first, eight are tested
// at a time.
inline DepSlot* next_with_wave_value(DepSlot* d, DepSlot* const end) noexcept {
  constexpr std::size_t kTogether = 8;
  for (;;) {
    if (d == end || d->wave_value) return d;
    ++d;
    while (end - d >= static_cast<std::ptrdiff_t>(kTogether) &&
           !any_wave_value(d, std::make_index_sequence<kTogether>{}))
      d += kTogether;
  }
}
// A lending run's input of a dep quiet when the run began keeps its value
// first. Out of line: only a wide run lends, and the narrow road stays small.
[[gnu::noinline]] inline void move_lent_wave_values(EdgeEntry& e, SmallVec<SharedValue, 2>& old_latest,
                                             StockedDepInputs& inputs) {
  DepSlot* const first = e.dep_state.data();
  // A dep with a wave value holds a noted input, which keeps its own
  // shares: the few noted are visited instead of every slot (more than a
  // wide run's cache holds).
  if (inputs.owned_all_noted()) [[likely]] {
    for (const std::uint32_t i : inputs.owned_in_dep_order())
      if (first[i].wave_value) move_wave_value(first[i], old_latest);
    return;
  }
  DepSlot* const end = e.dep_state.end();
  for (DepSlot* d = next_with_wave_value(first, end); d != end; d = next_with_wave_value(d + 1, end)) {
    inputs.keep_input_share(static_cast<std::size_t>(d - first));
    move_wave_value(*d, old_latest);
  }
}
[[gnu::always_inline]] inline void move_wave_values(EdgeEntry& e, SmallVec<SharedValue, 2>& old_latest,
                                                    StockedDepInputs& inputs) {
  // A list lends only from the states of more deps than its inline room
  // holds, and from none once they moved or went: a one-dep node's run is
  // told to lend nothing by its size, not by the lenders' chain. Its one
  // slot's move is inline: a call frame cost more than the move.
  if (e.dep_state.size() == 1) [[likely]] {
    DepSlot& d = e.dep_state[0];
    if (d.wave_value) move_wave_value(d, old_latest);
    return;
  }
  if (inputs.lends_some()) [[unlikely]]
    move_lent_wave_values(e, old_latest, inputs);
  else
    move_each_wave_value(e, old_latest);
}

// Calls the node's function through call, with the node named as the
// running one in the installed wave (wave_installed) and its running flag
// cleared should call unwind.
template <class Call>
[[gnu::always_inline]] inline void call_guarded(GraphCore& core, const UncountedNode& node, bool wave_installed,
                                                Call&& call) {
  // Written without a borrow: each borrow of the scope is taken and
  // released within one step of the wave, none across a run.
  if (wave_installed)
    installed_scope_cell().unguarded()->running_node.emplace(NodeId{core.id(), node.key().index, node.key().generation});
  // The flag is cleared when the function unwinds; when it returns, under
  // the borrow that follows. The caller's handle keeps the core and the
  // count record alive meanwhile.
  auto end_on_unwind = on_scope_exit([&]() noexcept {
    drop_quietly([&] {
      auto a = core.borrow_mut();
      end_running(*a, node);
    });
  });
  call();
  end_on_unwind.dismiss();
}

// The edge entry of a node whose run ended. The wave that pinned the node
// for its run keeps it pinned until the wave ends, and a pinned slot is
// never vacated: its key is current still. Any other node's key is checked:
// a node gone meanwhile faults here, before the wave step.
[[gnu::always_inline]] inline EdgeEntry& edge_of_ended_run(Arena& a, const UncountedNode& node, bool wave_pinned) {
  if (wave_pinned) [[likely]]
    return a.current_wave_edge(node.key().index);
  return a.wave_edge(node.key());
}
// Clears its running flag; the pin keeps a pinned node.
[[gnu::always_inline]] inline void end_running_of_run(Arena& a, EdgeEntry& e, const UncountedNode& node,
                                                      bool wave_pinned) {
  if (wave_pinned) [[likely]]
    e.state.end_run();
  else
    end_running(a, e, node);
}

// The wave step after the call: the running flag cleared, the wave's values
// become the deps' latest, and a run that emitted nothing resolves.
// wave_pinned: the running wave pinned the node before its run. SettleHere:
// a quiet settle is made in this frame, not called.
template <bool SettleHere = false>
[[gnu::always_inline]] inline void finish_run(GraphCore& core, const UncountedNode& node, std::uint8_t partition_flag,
                                              StockedDepInputs& inputs, bool wave_pinned) {
  // Each road has its own list of old values: the resolving road's then
  // shares its room with the message, not widening the frame runs nest.
  {
    SmallVec<SharedValue, 2> old_latest;
    auto a = core.borrow_mut();
    EdgeEntry& e = edge_of_ended_run(*a, node, wave_pinned);
    // Read before the running flag clears (it takes no part): the usual
    // end then writes the flags once, before the values move (nothing
    // reads them meanwhile).
    if (!e.state.resolves_after_run() || partition_flag != 0) {
      // A pinned run ends its run and wave in one write; an unpinned one
      // leaves the running flag of a node nothing keeps.
      if (wave_pinned) [[likely]] {
        e.state.end_run_and_wave();
      } else {
        end_running(*a, e, node);
        e.state.end_wave();
      }
      move_wave_values(e, old_latest, inputs);
      return;
    }
    end_running_of_run(*a, e, node, wave_pinned);
    if (wave_pinned && e.state.may_resolve_quietly() &&
        (SettleHere ? settle_run_quietly_here(*a, node) : settle_run_quietly(*a, node))) {
      move_wave_values(e, old_latest, inputs);
      return;
    }
  }
  down(node, Message::resolved());
  SmallVec<SharedValue, 2> old_latest;
  auto a = core.borrow_mut();
  EdgeEntry& e = edge_of_ended_run(*a, node, wave_pinned);
  move_wave_values(e, old_latest, inputs);
  e.state.end_wave_unless_settled();
  a.release();
}

// Whether a run drops callbacks registered during the node's last run
// (rare: the node's record, if made).
inline bool drops_old_callbacks(const AuxRare* rare) noexcept {
  return rare && (!rare->release_callbacks.empty() || !rare->invalidate_callbacks.empty());
}

// The rest of a run that has callbacks to drop, a timed call or a pull to
// serve, under the borrow held (released here), of the node ctx names; call
// is what the lookup found unless callbacks are dropped. The dispatcher is
// kept until the run's end. Its arguments all go in registers: one passed
// on the stack made the drain's frame, which calls it, keep a frame pointer.
[[gnu::noinline]] inline void run_rarely(RefMut<Arena>& held, const CallEntry& entry, RunContext& ctx, AuxRare* rare,
                                  Dispatcher::RunLookup call) {
  const UncountedNode& node = ctx.node;
  const bool drops_callbacks = drops_old_callbacks(rare);
  // Goes last of this frame, right before the run's inputs.
  std::optional<PullRequest> pull;
  GraphCore& core = node.core_ref();
  const bool wave_pinned = wave_scope_installed();
  DispatcherRef kept_dispatcher = entry.dispatcher();
  const DispatcherKey key = *entry.key;
  // Made only when there are some; the function is then looked up after them.
  std::optional<OldCallbacks> old_callbacks;
  {
    RefMut<Arena> a = std::move(held);
    ctx.partition_flag = drops_callbacks ? kept_dispatcher->partition_flag(key.partition) : call.partition_flag;
    if (rare) {
      if (rare->current_pull) {
        pull = rare->current_pull;
        ctx.pull = &*pull;
      }
      if (drops_callbacks) {
        old_callbacks.emplace(OldCallbacks{std::exchange(rare->release_callbacks, {}),
                                           std::exchange(rare->invalidate_callbacks, {})});
      }
    }
  }
  // Callbacks registered during the previous run go uncalled.
  if (old_callbacks) {
    old_callbacks->release.clear();
    old_callbacks->invalidate.clear();
  }
  call_guarded(core, node, wave_pinned, [&] {
    if (old_callbacks) call = kept_dispatcher->lookup_for_run(key);
    NodeFn* fn = call.fn;
    if (!fn) return;
    // Claimed here: on unwind the claim ends before the guards above run.
    FnRunClaim claim(fn);
    if (!call.timing) return fn->run(ctx);
    // The call's time is recorded also on unwind.
    const std::uint64_t start = monotonic_now_ns();
    auto record_time = on_scope_exit([&]() noexcept {
      drop_quietly([&] { record_fn_timing(start, kept_dispatcher, key); });
    });
    fn->run(ctx);
  });
  finish_run(core, node, ctx.partition_flag, ctx.inputs, wave_pinned);
}

// A node that runs before its first connection makes its dep states, then
// runs. Out of line, so the usual run's road stays as it was.
// Its entries are read again from the slot, found whole before: the usual
// road's entries then stay out of memory.
[[gnu::noinline, gnu::cold]] inline void run_found_without_states(RefMut<Arena>& held, const UncountedNode& node) {
  const LiveSlotsWithAux s = whole_slots_with_aux(*held, node.key().index);
  make_dep_states_if_none(s.edge, s.topology.deps.size());
  run_found(held, node, s);
}

// touched: the caller saw that the installed wave touched (so pinned) the node.
// KeySeen: the caller's run decision saw the node's handle (it runs only a
// node with a function), so it is not tested again.
template <bool SettleHere = false, bool KeySeen = false>
[[gnu::always_inline]] inline void run_found_here(RefMut<Arena>& held, const UncountedNode& node, const LiveSlotsWithAux& s,
                                                  bool touched = false) {
  // Made states are sized to the deps, and a connection checks so: the deps
  // block is not read on this road.
  const std::size_t n = s.edge.dep_state.size();
  if (n == 0 && !s.topology.deps.empty()) [[unlikely]] return run_found_without_states(held, node);
  RunContext ctx;
  NodeFn* fn;
  {
    RefMut<Arena> a = std::move(held);
    EdgeEntry& e = s.edge;
    take_run_inputs(e, n, ctx.inputs);
    s.run = 1;
    e.state.begin_run();
    if constexpr (!KeySeen)
      if (!s.call.key) fault("run_wave \xE2\x87\x92 handle present");
    AuxRare* rare = s.aux.rare_if_made();
    // Dropping old callbacks may run host code, which may replace the
    // function or turn timing on: with any to drop, the function is looked
    // up after them.
    const bool drops_callbacks = drops_old_callbacks(rare);
    Dispatcher::RunLookup call;
    if (!drops_callbacks) call = s.call.dispatcher()->lookup_for_run(*s.call.key, s.call.found_fn);
    const bool serves_pull = rare && rare->current_pull;
    if (drops_callbacks || call.timing || serves_pull) [[unlikely]] {
      ctx.node = node;
      return run_rarely(a, s.call, ctx, rare, call);
    }
    ctx.partition_flag = call.partition_flag;
    ctx.node = node;
    fn = call.fn;
  }
  GraphCore& core = node.core_ref();
  // The node is touched: an installed wave pinned it. A touch the caller
  // saw needs no second look at the installed scope.
  const bool wave_pinned = touched || wave_scope_installed();
  call_guarded(core, node, wave_pinned, [&] {
    if (!fn) return;
    // Claimed here: on unwind the claim ends before the guards above run.
    FnRunClaim claim(fn);
    fn->run(ctx);
  });
  finish_run<SettleHere>(core, node, ctx.partition_flag, ctx.inputs, wave_pinned);
}

}  // namespace run_body

// run_wave under the caller's borrow, with the run in the caller's frame.
[[gnu::always_inline]] inline void run_wave_here(RefMut<Arena>& a, const UncountedNode& node, const LiveSlotsWithAux& s,
                                                 bool touched) {
  prepare_run(a, node, s, touched);
  run_body::run_found_here<false, true>(a, node, s, touched);
}

}  // namespace korvalinth
