// A DATA or DIRTY to a run of dep sinks of one core, taken under one borrow.

#include "node/wave/dep_sink.hpp"
#include "node/wave/dep_sink_plain.hpp"
#include "node/wave/quiet_wave.hpp"
#include "node/wave/stack_guard.hpp"

namespace korvalinth {

template <class Take>
[[gnu::always_inline]] inline RunEnd DepSink::take_under_one_borrow(GraphCore& core, const SinkEntry* e,
                                                                    const SinkEntry* const end, Take&& take) {
  auto a = core.borrow_mut();
  for (; e != end && e->dep; ++e) {
    DepSink& sink = static_cast<DepSink&>(*e->sink);
    if (sink.detached()) continue;
    if (sink.raw_core_ != &core || !take(*a, sink)) return {e + 1, &sink};
  }
  return {e, nullptr};
}

namespace {

// Where each run checks the stack, below its caller's call: a fixed point,
// not its own frame's, which the values it keeps for the run widen as this
// build lays them out; a deep graph then faults at the same node whatever
// they take.
constexpr std::uintptr_t kDataRunStack = 160;
constexpr std::uintptr_t kDirtyRunStack = 192;

// The run checks a DATA run queues for the nodes of its core, touched by
// the installed scope: the thread's queue and its epoch, that core's owner
// reference and the scope's id are read once for the run, which calls
// nothing that changes them.
struct PushRunChecksOfCore {
  PendingState& pending;
  std::uint64_t epoch;
  const CoreRef* owner;
  std::uint64_t scope_id;

  std::uint64_t queue_epoch() const noexcept { return epoch; }

  [[gnu::always_inline]] void operator()(const DepSink& sink, const GraphCore& core) const {
    push_item_read(pending, owner, KnownTouchingScopeId{scope_id}, sink.dependent_core(), sink.dependent_count(),
                   sink.dependent(), core.id(), PendingKind::RunCheck);
  }
};

}  // namespace

RunEnd DepSink::call_run(const SinkEntry* self, const SinkEntry* const end, const Message& message) {
  const std::uint64_t frame = delivery_frame_id();
  if (frame == 0) return {self + 1, this};
  check_stack_headroom_at(reinterpret_cast<std::uintptr_t>(__builtin_dwarf_cfa()) - kDataRunStack);
  GraphCore& core = *raw_core_;
  dep_sink_steps::SeenScope scope;
  const PushRunChecksOfCore push{pending_state(), queue_epoch(), installed_owner_ref(core.id()), scope.id};
  // Each record calls no sink, callback or Python, so one borrow holds
  // them all. The run ends at the first sink whose DATA is not a plain
  // one: the caller calls it once the borrow is given back (it finds its
  // DATA not plain again, with nothing changed).
  return take_under_one_borrow(core, self, end, [&](Arena& a, DepSink& sink) {
    return dep_sink_steps::enter_and_record_plain_data(a, sink, core, sink.cell_.value, message, scope,
                                                       dep_sink_steps::KnownFrameId{frame}, push);
  });
}

RunEnd DepSink::call_dirty_run(const SinkEntry* self, const SinkEntry* const end) {
  // A detached first sink takes nothing: no borrow for it.
  if (detached()) return {self + 1, nullptr};
  const std::uintptr_t at = reinterpret_cast<std::uintptr_t>(__builtin_dwarf_cfa()) - kDirtyRunStack;
  check_stack_headroom_at(at);
  // Each mark calls nothing, so one borrow holds them all. The run ends at
  // the first sink whose node needs a hold or has sinks the DIRTY goes on
  // to past a lone dep sink that takes it quietly: the caller calls it once
  // the borrow is given back, so that an onward DIRTY takes the lone
  // DIRTY's frames and a chain too deep still faults in its DIRTY.
  // The run's frame stays where it is: whether a hop fits is asked once.
  const bool hop_fits = stack_room_below(at) >= kQuietWaveStackMargin;
  const GraphCore& core = *raw_core_;
  QuietHop hop;
  dep_sink_steps::SeenScope scope;
  return take_under_one_borrow(*raw_core_, self, end, [&core, hop_fits, &hop, &scope](Arena& a, DepSink& sink) {
    return dep_sink_steps::enter_and_mark_quiet_dirty(a, core, sink, sink.cell_.value, hop_fits, hop, scope);
  });
}

}  // namespace korvalinth
