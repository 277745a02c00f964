#include "node/wave/dep_sink.hpp"

#include <atomic>
#include <type_traits>

#include "base/index_fault.hpp"
#include "node/wave/delivery.hpp"
#include "node/wave/dep_sink_plain.hpp"
#include "node/wave/down.hpp"
#include "node/wave/pending.hpp"
#include "node/wave/run_wave.hpp"
#include "node/wave/stack_guard.hpp"
#include "node/wave/wave_scope.hpp"

namespace korvalinth {

namespace {

using namespace dep_sink_steps;
// Overloaded below as well.
using dep_sink_steps::enter_node;

// The steps a node takes itself after one message of a dep was recorded,
// beside what it sends down: one bit each, so a record is tested at once.
enum DepStep : std::uint16_t {
  kTeardownStep = 1u << 0,
  kInvalidateStep = 1u << 1,
  kInvalidateThroughDown = 1u << 2,
  kResolveAfterInvalidate = 1u << 3,
  kQueueRunCheck = 1u << 4,
  kResolveCheck = 1u << 5,
  kPullCheck = 1u << 6,
};

// What a node does after one message of a dep was recorded.
struct DepAction {
  // What the node sends down itself: nothing, RESOLVED, ERROR (down_error),
  // COMPLETE, or COMPLETE and TEARDOWN.
  enum class Down : std::uint8_t { None, Resolved, Error, Complete, CompleteTeardown };
  std::uint16_t steps = 0;
  Down down = Down::None;
  RunDecision decision = RunDecision::Nothing;
  SharedError down_error;

  bool has(DepStep step) const noexcept { return (steps & step) != 0; }
  void set(DepStep step, bool on = true) noexcept {
    if (on) steps |= step;
  }

  // Only a run check (its mark set): pushed without a handle.
  bool only_queued_run_check() const noexcept {
    return down == Down::None && decision == RunDecision::Nothing && steps == kQueueRunCheck;
  }

  bool any() const noexcept { return down != Down::None || decision != RunDecision::Nothing || steps != 0; }
};

// Values replaced under the node's borrow, dropped after it. A message
// replaces at most one latest value.
struct DepTrash {
  SharedValue value;
  SharedValue wave;  // the replaced wave value (none: null, dropped alike)
  std::optional<WaveDeliveries> lists;  // taken by an INVALIDATE only: most calls test one flag

  // Inlined: most calls replace nothing, and an outlined drop costs more
  // than its three tests.
  [[gnu::always_inline]] ~DepTrash() {}
};

// The dep's wave value goes to trash; the slot keeps none.
inline void take_wave_value(DepSlot& d, DepTrash& trash) {
  if (!d.wave_value) return;
  trash.wave = std::move(*d.wave_value);
  d.wave_value.reset();
}

// Records message m of dep i in r; r starts empty. The caller found the
// node's key current under this borrow. Inlined into the sink's one call
// site: it runs twice per node per wave.
[[gnu::always_inline]] inline void apply_dep_messages(Arena& a, std::uint64_t index, std::uint64_t i,
                                                      const Message& m, DepAction& r, DepTrash& trash) {
  LiveSlotsWithAux s = current_slots_with_aux(a, index);
  EdgeEntry& e = s.edge;
  const ConfigEntry& config = s.config;
  NodeState& state = e.state;
  if (state.terminal()) {
    r.set(kTeardownStep, m.kind() == MessageKind::Teardown);
    return;
  }
  // Inside a delivery the check waits in the queue, found there by the
  // node's mark: a node queued already is not queued again.
  auto run_check = [&] {
    if (delivery_depth() > 0) {
      r.set(kQueueRunCheck, mark_run_check_queued(e));
    } else {
      r.decision = current_run_decision(a, index);
    }
  };
  auto settle_rule = [&] {
    if (deps_settled_or_owe_run(state, config, s.aux)) {
      run_check();
      r.set(kPullCheck, config.pull_id.has_value());  // the pull service does nothing without one
    }
  };

  // DATA, most of a wave's messages, is told apart by one test, not the jump.
  if (m.kind() == MessageKind::Data) {
    check_index(e.dep_state.size(), i);
    check_index(e.dep_links.size(), i);
    DepSlot& d = e.dep_state[i];
    if (e.dep_links[i].flag) {
      StockedDepInputs::keep_lent_input(e.dep_state.data(), i);
      trash.value = std::exchange(d.latest, m.data_value());
      d.has_value = 1;
      take_wave_value(d, trash);
      return;
    }
    const SharedValue& value = m.data_value();
    // Swapped in place: no optional made and dropped around it.
    if (d.wave_value)
      trash.wave = std::exchange(*d.wave_value, value);
    else
      set_first_wave_value(e, i, d, value);
    record_data_value(state, d, value, ReadFrameId{});
    settle_rule();
    return;
  }

  switch (m.kind()) {
    case MessageKind::Start:
    case MessageKind::Pause:
    case MessageKind::Resume:
    case MessageKind::Pull:
      return;
    case MessageKind::Dirty:
      return;  // taken by call_dirty
    case MessageKind::Data:
      return;  // taken above
    case MessageKind::Resolved: {
      check_index(e.dep_state.size(), i);
      record_resolved(state, e.dep_state[i], ReadFrameId{});
      settle_rule();
      return;
    }
    case MessageKind::Invalidate: {
      check_index(e.dep_state.size(), i);
      DepSlot& d = e.dep_state[i];
      const std::uint64_t frame = delivery_frame_id();
      const bool stamp_was_current = d.stamp == frame;
      StockedDepInputs::keep_lent_input(e.dep_state.data(), i);
      trash.value = std::move(d.latest);
      d.latest.reset();
      d.has_value = 0;
      take_wave_value(d, trash);
      current_wave_mut(d, frame).push(nullptr);
      if (!stamp_was_current) {
        bool any_value = false;
        for (const DepSlot& other : e.dep_state) any_value |= other.deliveries.any_value();
        if (!any_value) {
          trash.lists.emplace(std::move(d.deliveries));
          d.stamp = kNoStamp;
        }
      }
      state.dep_settled(d);
      bool any_wave = false;
      for (const DepSlot& other : e.dep_state) any_wave |= other.wave_value.has_value();
      if (!any_wave) state.forgive_run();
      r.set(kInvalidateStep);
      const bool had_data = state.has_data();
      const bool paused = s.aux.paused();
      const bool pull_gated = config.pull_id.has_value() && !s.aux.serving_pull();
      r.set(kInvalidateThroughDown, had_data && config.pausable == Pausable::ResumeAll && (paused || pull_gated));
      if (state.owes_resolved()) {
        if (!had_data)
          r.down = DepAction::Down::Resolved;
        else
          r.set(kResolveAfterInvalidate);
      }
      r.set(kPullCheck, config.pull_id.has_value());  // the pull service does nothing without one
      return;
    }
    case MessageKind::Complete:
    case MessageKind::Error: {
      check_index(e.dep_state.size(), i);
      DepSlot& d = e.dep_state[i];
      TerminalRecord t{true, nullptr};
      if (m.kind() == MessageKind::Error)
        t.error = std::make_shared<const std::string>(m.error_value() ? m.error_value()->display() : std::string());
      d.record_terminal(t);
      state.dep_settled(d);
      bool all_terminal = true;
      for (const DepSlot& other : e.dep_state) all_terminal &= other.terminal_present();
      if (m.kind() == MessageKind::Error && config.error_when_deps_error) {
        r.down = DepAction::Down::Error;
        r.down_error = make_text_error(*t.error);
      } else if (config.terminal_as_real_input) {
        run_check();
      } else if (all_terminal && config.complete_when_deps_complete) {
        r.down = DepAction::Down::Complete;
      } else {
        r.set(kResolveCheck);
      }
      r.set(kPullCheck, config.pull_id.has_value());  // the pull service does nothing without one
      return;
    }
    case MessageKind::Teardown: {
      r.down = DepAction::Down::CompleteTeardown;
      return;
    }
  }
}

// Sends on what the record asks.
[[gnu::noinline]] void forward_dep_control(const DepSink& sink, CoreRef* strong, DepAction& r) {
  const bool held = strong != nullptr && *strong;
  CoreRef core = held ? std::move(*strong) : lock_core(sink.dependent_core(), sink.dependent_core_id());
  if (!core) return;
  const UncountedNode node(std::move(core), sink.dependent_count(), sink.dependent());
  if (r.has(kTeardownStep)) broadcast(node, teardown_message());
  if (r.has(kInvalidateStep)) {
    if (r.has(kInvalidateThroughDown)) {
      down(node, Message::invalidate());
    } else {
      SmallVec<InvalidateCallback, 2> callbacks;
      bool invalidated = false;
      {
        SharedValue old_cache;  // dropped right after the borrow, before the callbacks
        auto a = node.core_ref().borrow_mut();
        a->check(node.key());
        EdgeEntry& e = a->edge_at(node.index());
        if (e.state.invalidate()) {
          old_cache = std::move(e.cache);
          e.cache.reset();
          for (const auto& cb : a->aux_at(node.index()).rare().invalidate_callbacks) callbacks.push_back(cb);
          invalidated = true;
        }
        a.release();
      }
      if (invalidated) {
        for (const auto& cb : callbacks) (*cb)();
        broadcast(node, invalidate_message());
      }
    }
  }
  // Set for a node with data only (one without sends its RESOLVED below).
  if (r.has(kResolveAfterInvalidate)) {
    auto a = node.core_ref().borrow_mut();
    a->check(node.key());
    a->edge_at(node.index()).state.forget_dirty();
  }
  if (r.has(kQueueRunCheck)) push_run_check_marked(node);
  run_decided(node, r.decision);
  switch (r.down) {
    case DepAction::Down::None:
      break;
    case DepAction::Down::Resolved:
      down(node, Message::resolved());
      break;
    case DepAction::Down::Error:
      down(node, Message::error(std::move(r.down_error)));
      break;
    case DepAction::Down::Complete:
      down(node, Message::complete());
      break;
    case DepAction::Down::CompleteTeardown: {
      MessageList l;
      l.push_back(Message::complete());
      l.push_back(Message::teardown());
      down(node, std::move(l));
      break;
    }
  }
  if (r.has(kResolveCheck)) resolve_queued(node);
  if (r.has(kPullCheck)) handle_dep_message(node);
}

// What a call holds of its node beyond the wave's own pin: a strong
// reference to a core other than the wave owner's, and outside a wave a pin
// for the call.
struct CallHold {
  CoreRef strong;
  PinnedNode pin;

  CallHold() = default;
  explicit CallHold(CoreRef core) noexcept : strong(std::move(core)) {}
};

// Enters the sink's node for one call, under the caller's borrow of its
// core: the running wave touches (so pins) it once, or a call outside a
// wave pins it itself. No when the node is gone. Either way an entered
// node is pinned until the call ends, so it stays alive through the call.
[[gnu::always_inline]] inline Entered enter_node(Arena& a, const DepSink& sink, std::optional<CallHold>& hold) {
  const SlotKey key = sink.dependent();
  const bool current = a.is_current(key);
  if (current && current_touched_in_installed_scope(a, key.index)) return Entered::Yes;
  // The wave's owner holds its core throughout: lent, not copied.
  const CoreId core_id = sink.dependent_core_id();
  const CoreRef* core_ref = installed_owner_ref(core_id);
  const bool owner = core_ref != nullptr;
  if (!owner) {
    CoreRef strong = sink.dependent_core().lock();
    if (!strong) return Entered::No;
    core_ref = &hold.emplace(std::move(strong)).strong;
  }
  auto cell = wave_scope_cell().borrow_mut();
  if (!current) return Entered::No;
  if (cell->has_value()) {
    // Found current and not touched above, under this borrow.
    touch_untouched_in_frame(**cell, a, owner ? nullptr : core_ref, sink.dependent_count(), key, core_id);
    return Entered::Yes;
  }
  a.add_pin(key.index);
  if (!hold) hold.emplace();
  hold->pin = PinnedNode(*core_ref, sink.dependent_count(), key);
  return Entered::Yes;
}

// Gives back what the call held, once its work is done.
void give_back(NoHold&) noexcept {}
void give_back(std::optional<CallHold>& hold) {
  if (hold && !hold->pin.empty()) hold->pin.unpin();
}
// The strong reference the call holds to its node's core, if any.
CoreRef* held_core(NoHold&) noexcept { return nullptr; }
CoreRef* held_core(std::optional<CallHold>& hold) noexcept { return hold ? &hold->strong : nullptr; }

// Stack a DIRTY keeps untouched for each node it passes on by a call, beside
// its own state: with it a chain too deep for the stack faults in the DIRTY
// phase, before any node took a value (a DATA passing down a chain nests
// deeper per node). Either road of a DIRTY takes the same frame per node,
// kCallAnyStack with its call.
inline constexpr std::size_t kDirtyDepthReserve = 176;
inline constexpr std::size_t kHoldingDirtyDepthReserve = 112;

// The stack a DIRTY's call takes per node when a node's lone dep sink calls
// the next (DepSink::call's frame, its return address, and whatever this
// build keeps between): what a loop charges each node it passes instead.
// Zero until measured, once per process, as the step between two such
// calls; until then a line nests.
std::atomic<std::uintptr_t> dirty_hop_stack{0};
// A step larger than this is no frame's: not taken as one.
inline constexpr std::uintptr_t kMaxDirtyHopStack = std::uintptr_t{64} << 10;

// While a DIRTY nests into a lone dep sink with the step unknown: that
// sink, and the stack position its caller's call stood at, for the sink's
// own call to measure the step (the body of a call keeps one position).
struct DirtyHopProbe {
  const DepSink* callee = nullptr;
  std::uintptr_t at = 0;
};
inline constinit thread_local DirtyHopProbe tls_dirty_hop_probe KORVALINTH_FAST_TLS;

// Notes the probe for one nested call, and clears it however that ends.
class DirtyHopProbeScope {
 public:
  DirtyHopProbeScope(const DepSink& callee, std::uintptr_t at) noexcept { tls_dirty_hop_probe = {&callee, at}; }
  ~DirtyHopProbeScope() { tls_dirty_hop_probe = {}; }
  DirtyHopProbeScope(const DirtyHopProbeScope&) = delete;
  DirtyHopProbeScope& operator=(const DirtyHopProbeScope&) = delete;
};

// Takes the step from the probe noted for this call, standing at top.
[[gnu::cold, gnu::noinline]] void measure_dirty_hop(std::uintptr_t top) noexcept {
  const std::uintptr_t at = tls_dirty_hop_probe.at;
  if (at > top && at - top <= kMaxDirtyHopStack) dirty_hop_stack.store(at - top, std::memory_order_relaxed);
}

// What a DIRTY found under its borrow: whether it entered its node, and the
// sinks it goes on to (none unless the node turned dirty).
struct DirtyEntry {
  Entered entered;
  SinkList::Reading sinks;
};

// Calls deliver with the stack taken down to the position at (when above
// it): where the nested calls a loop stood for would have called it, so
// that what it calls faults where it would have. The loop checked that
// position. Both positions are 16-aligned, and alloca of a multiple of 16
// takes 16 bytes more: it is asked for that much less.
template <class Deliver>
[[gnu::noinline]] void deliver_at(std::uintptr_t at, const Deliver& deliver) {
  const std::uintptr_t sp = detail::stack_position();
  if (sp > at && sp - at >= 16) {
    void* gap = __builtin_alloca(sp - at - 16);
    asm volatile("" : : "r"(gap) : "memory");  // kept, never written
  }
  deliver();
}

// Enters the node and records the dirty mark under one borrow; the reading
// is made in place in the result, under that borrow, and not moved after.
template <class Hold>
[[gnu::always_inline]] inline DirtyEntry record_dirty(const DepSink& sink, GraphCore& core, std::uint64_t dep_index,
                                                      Hold& hold) {
  auto a = core.borrow_mut();
  const Entered entered = enter_node(*a, sink, hold);
  if (entered != Entered::Yes) return {entered, SinkList::Reading()};
  LiveSlotsWithAux s = current_slots_with_aux(*a, sink.dependent().index);
  return {Entered::Yes, record_dep_dirty(s, dep_index) ? s.aux.sinks.read() : SinkList::Reading()};
}

// DIRTY, a wave's first message: it replaces no value and queues nothing,
// so only the dirty mark is recorded, and DIRTY goes on to the sinks read
// under that borrow when the node turns dirty. With the hold Hold makes;
// false, with nothing changed, when the node needs a hold that Hold does
// not make.
template <class Hold>
[[gnu::always_inline]] inline bool call_dirty(const DepSink& sink, GraphCore& core, std::uint64_t dep_index) {
  Hold hold;
  {
    // The reading ends before the pin is given back.
    const DirtyEntry entry = record_dirty(sink, core, dep_index, hold);
    if (entry.entered != Entered::Yes) return entry.entered == Entered::No;
    entry.sinks.deliver(dirty_message());
  }
  give_back(hold);
  return true;
}

}  // namespace

// A line of lone dep sinks (each node's only sink is the next node's dep
// sink) is walked under the borrow, not nested: only dep sinks are met on
// it, so no user code runs that could tell, and the nodes are marked in the
// same order. Each node is charged hop, the stack its nested call would
// take, from the position top of the call that met the line, so a line too
// deep faults at the same node. Anything else met (more sinks or another
// kind, a node needing a hold) is delivered as the nested road does, from
// the position it would have been met at. The borrow is given back here or by
// the caller.
void DepSink::descend_line(RefMut<Arena>& a, DepSink* sink, const std::uintptr_t top, const std::uintptr_t hop) {
  GraphCore& core = *sink->raw_core_;
  Arena& arena = *a;
  // Node k of the line is charged k hops: the first past the hops that fit
  // in the room below top is refused. They are counted down per node; the
  // depth is worked out only where the line is left.
  const std::uintptr_t fits = stack_room_below(top) / hop;
  std::uintptr_t left = fits;
  // Below top, of the nested call that would call the next node.
  const auto depth = [&] { return (fits - left) * hop; };
  // Read once for the line: its nodes are of one core. The caller entered a
  // node without a hold, so a scope is installed; were none, the line would
  // nest as the road it stands for.
  SeenScope scope;
  if (scope.id == 0) [[unlikely]] {
    a.release();
    return deliver_at(top, [sink] { sink->call(dirty_message()); });
  }
  const auto walk = [&] [[gnu::always_inline]] {
    for (;;) {
      const std::uint64_t dep = sink->cell_.value;
      if (dep >= kDetachedDep) return;
      if (sink->raw_core_ != &core) [[unlikely]] {
        a.release();
        return deliver_at(top - depth(), [sink] { sink->call(dirty_message()); });
      }
      if (left == 0) refuse_stack_depth();
      --left;
      // Nothing changed: the node's own call takes the holding road, or faults.
      const auto nest = [&] {
        a.release();
        deliver_at(top - depth() + hop, [sink] { sink->call(dirty_message()); });
      };
      const SlotKey key = sink->key_;
      if (!arena.current_with_every_entry(key)) [[unlikely]]
        return nest();
      if (enter_current_node(arena, *sink, key, scope) != Entered::Yes) [[unlikely]]
        return nest();
      LiveSlotsWithAux s = whole_slots_with_aux(arena, key.index);
      if (!record_dep_dirty(s, dep)) return;
      Sink* const lone = s.aux.sinks.lone_dep_sink();
      if (lone == nullptr) {
        const SinkList::Reading sinks = s.aux.sinks.read();
        a.release();
        if (sinks) deliver_at(top - depth(), [&sinks] { sinks.deliver(dirty_message()); });
        return;
      }
      sink = static_cast<DepSink*>(lone);
    }
  };
  // The owner is looked for once, before the walk: a line of its core (the
  // usual one) is walked by a copy of the loop made where it is found, which
  // touches each node the wave has not touched without asking again.
  scope.find_owner(core.id());
  if (scope.owner) [[likely]]
    return walk();
  walk();
}

// A DIRTY to a node that needs no hold, entered and marked under one
// borrow: DIRTY goes on to the sinks read once the borrow is given back,
// or down a line of lone dep sinks under it. False, with nothing changed,
// when the node needs a hold.
[[gnu::always_inline]] inline bool DepSink::call_dirty_no_hold() {
  const std::uintptr_t top = detail::stack_position();
  if (dirty_hop_stack.load(std::memory_order_relaxed) == 0 && tls_dirty_hop_probe.callee == this) [[unlikely]]
    measure_dirty_hop(top);
  auto a = raw_core_->borrow_mut();
  SeenScope scope;
  if (enter_whole_node(*a, *this, scope) != Entered::Yes) return false;
  LiveSlotsWithAux s = whole_slots_with_aux(*a, key_.index);
  if (!record_dep_dirty(s, cell_.value)) return true;
  if (Sink* const lone = s.aux.sinks.lone_dep_sink()) {
    if (const std::uintptr_t hop = dirty_hop_stack.load(std::memory_order_relaxed)) [[likely]] {
      descend_line(a, static_cast<DepSink*>(lone), top, hop);
      return true;
    }
    // The step unknown, the line nests here, noted for the next call to measure.
    const DirtyHopProbeScope probe(*static_cast<const DepSink*>(lone), top);
    const SinkList::Reading sinks = s.aux.sinks.read();
    a.release();
    sinks.deliver(dirty_message());
    return true;
  }
  const SinkList::Reading sinks = s.aux.sinks.read();
  a.release();
  sinks.deliver(dirty_message());
  return true;
}

namespace {

// A DIRTY whose node needs a hold. Out of line, called as the sink's call
// leaves: the usual DIRTY holds nothing.
[[gnu::noinline]] void call_dirty_holding(const DepSink& sink, GraphCore& core, std::uint64_t dep_index) {
  std::byte depth_reserve[kHoldingDirtyDepthReserve];
  asm volatile("" : : "r"(depth_reserve));  // kept in the frame, never written
  call_dirty<std::optional<CallHold>>(sink, core, dep_index);
}

// Any other message, with the hold Hold makes. False, with nothing
// changed, when the node needs a hold that Hold does not make.
template <class Hold>
[[gnu::always_inline]] inline bool call_with(const DepSink& sink, GraphCore& core, std::uint64_t dep_index,
                                             const Message& message) {
  Hold hold;
  DepAction record;
  {
    DepTrash trash;  // what the message replaced: dropped right after the borrow
    auto a = core.borrow_mut();
    const Entered entered = enter_node(*a, sink, hold);
    if (entered != Entered::Yes) return entered == Entered::No;
    apply_dep_messages(*a, sink.dependent().index, dep_index, message, record, trash);
    a.release();
  }
  // Entered without a hold, the node is touched by the installed scope.
  if (record.only_queued_run_check())
    push_run_check_marked(sink.dependent_core(), sink.dependent_count(), sink.dependent(), core.id(),
                          std::is_same_v<Hold, NoHold>);
  else if (record.any())
    forward_dep_control(sink, held_core(hold), record);
  give_back(hold);
  return true;
}

// A call whose node needs a hold: of another core than the wave owner's,
// outside a wave, or gone. Out of line: the usual call holds nothing.
[[gnu::noinline]] void call_holding(const DepSink& sink, GraphCore& core, std::uint64_t dep_index,
                                    const Message& message) {
  call_with<std::optional<CallHold>>(sink, core, dep_index, message);
}

}  // namespace

// A DATA inside a delivery goes its own way, in a frame of its own: most
// are plain ones (see record_plain_data), which call nothing, so that frame
// stays small. Outside a delivery a DATA is not a plain one. A node that
// needs a hold takes the general record: it is rare, and it proves the
// plain one.
void DepSink::call(const Message& message) {
  if (message.kind() == MessageKind::Data)
    if (const std::uint64_t frame = delivery_frame_id()) return call_data(message, frame);
  call_any(message);
}

// Kept in this file: in one of its own, call_any is laid out with a frame
// 16 B larger than kCallAnyStack counts.
bool DepSink::take_data_plainly_at(const Message& message, std::uint64_t frame, std::uintptr_t at) {
  const std::uint64_t dep_index = cell_.value;
  if (dep_index >= kDetachedDep) return true;
  // Where the frame of any other message stands: a DATA faults for the
  // stack where it did when it took that frame.
  check_stack_headroom_at(at - kCallAnyStack);
  GraphCore& core = *raw_core_;
  auto a = core.borrow_mut();
  SeenScope scope;
  return enter_whole_node(*a, *this, scope, TouchAt::Apart) == Entered::Yes &&
         record_plain_data(*a, *this, core, dep_index, message, KnownFrameId{frame});
}

void DepSink::call_data(const Message& message, std::uint64_t frame) {
  // call_any, called last, takes this frame's place.
  if (take_data_plainly_at(message, frame, reinterpret_cast<std::uintptr_t>(__builtin_dwarf_cfa()))) return;
  call_any(message);
}

void DepSink::call_any(const Message& message) {
  if (detached()) return;
  check_stack_headroom();
  GraphCore& core = *raw_core_;
  const std::uint64_t dep_index = cell_.value;
  if (message.kind() == MessageKind::Dirty) {
    {
      std::byte depth_reserve[kDirtyDepthReserve];
      asm volatile("" : : "r"(depth_reserve));  // kept in the frame, never written
      if (call_dirty_no_hold()) return;
    }
    return call_dirty_holding(*this, core, dep_index);
  }
  if (call_with<NoHold>(*this, core, dep_index, message)) return;
  call_holding(*this, core, dep_index, message);
}

void run_or_settle(const UncountedNode& node) {
  RunDecision decision;
  {
    auto a = node.core_ref().borrow();
    LiveSlotsView s = live_slots(*a, node.key());
    decision = s.edge.state.settled_decision(run_inputs(s));
  }
  run_decided(node, decision);
}

void handle_dep_message(const UncountedNode& node) {
  GraphCore& core = node.core_ref();
  {
    auto a = core.borrow();
    a->check(node.key());
    if (a->edge_at(node.index()).state.pull_in_progress()) return;
    // Only a node with a pull id serves pulls; a node without one still
    // gives the faults of its entries.
    if (const ConfigEntry* config = a->find_config(node.index()); config && !config->pull_id) {
      a->require_live_entries(node.key());
      return;
    }
  }
  std::optional<PullRequest> old_current;
  std::vector<MessageList> held;
  Pausable pausable;
  {
    auto a = core.borrow_mut();
    LiveSlotsWithAux s = live_slots_with_aux(*a, node.key());
    const RunInputs in = run_inputs(s);
    if (!serves_pending_pull(s.edge.state, s.config, s.aux, in)) return;
    AuxRare* rare = s.aux.rare_if_made();
    old_current = std::exchange(rare->current_pull, std::exchange(rare->pending_pull, std::nullopt));
    s.edge.state.begin_pull();
    held = std::exchange(rare->held, {});
    pausable = s.config.pausable;
  }
  old_current.reset();
  if (!held.empty()) {
    if (pausable == Pausable::True) {
      MessageList newest = std::move(held.back());
      held.clear();
      down(node, std::move(newest));
    } else {
      std::vector<MessageList> lists = std::move(held);
      for (MessageList& l : lists) down(node, std::move(l));
    }
  } else {
    bool serve = false;
    {
      auto a = core.borrow_mut();
      LiveSlotsWithAux s = live_slots_with_aux(*a, node.key());
      serve = s.edge.state.serve_pull(run_inputs(s));
    }
    if (serve) run_or_settle(node);
  }
  clear_current_pull(node);
}

}  // namespace korvalinth
