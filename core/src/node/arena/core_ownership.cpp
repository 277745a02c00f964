#include "node/arena/core_ownership.hpp"

#include "dispatcher/dispatcher.hpp"

namespace korvalinth {

namespace {

bool is_in(const GraphCore& core, const UncountedNode& h) noexcept { return h.core().get() == &core; }

int visit_fn(const CallEntry& call, HostRefVisit visit) noexcept {
  const DispatcherRef& dispatcher = call.dispatcher();
  if (!call.key || !dispatcher || dispatcher->state().is_mutably_borrowed()) return 0;
  auto state = dispatcher->state().borrow();
  if (call.key->partition >= state->partitions.size()) return 0;
  const DispatcherPartition& p = state->partitions[call.key->partition];
  if (call.key->slot >= p.slots.size()) return 0;
  const DispatcherSlot& slot = p.slots[call.key->slot];
  if (slot.generation != call.key->generation || slot.fn.use_count() != 1) return 0;
  return slot.fn->visit_host_refs(visit);
}

}  // namespace

// A live slot's entries are all present; a walk that finds one missing
// gives up (the faults of the entry accessors end up here).
std::size_t core_refs_in_arena(const GraphCore& core) noexcept {
  if (core.is_mutably_borrowed()) return 0;
  try {
    auto a = core.borrow();
    std::size_t refs = 0;
    for (std::uint64_t i = 0; i < a->slot_count(); ++i) {
      if (!a->is_live_index(i)) continue;
      for (const UncountedNode& dep : a->topology_at(i).deps) refs += is_in(core, dep);
      for (const DepLink& link : a->edge_at(i).dep_links) refs += link.unsubscribe && is_in(core, link.unsubscribe->node());
    }
    return refs;
  } catch (...) {
    return 0;
  }
}

bool core_held_only_by(const CoreRef& core, std::size_t held) noexcept {
  return core && static_cast<std::size_t>(core.use_count()) == held + core_refs_in_arena(*core);
}

int visit_core_host_refs(const GraphCore& core, HostRefVisit visit) noexcept {
  if (core.is_mutably_borrowed()) return 0;
  try {
    auto a = core.borrow();
    for (std::uint64_t i = 0; i < a->slot_count(); ++i) {
      if (!a->is_live_index(i)) continue;
      if (int stop = visit_fn(a->call_at(i), visit)) return stop;
      for (const SinkEntry& entry : a->aux_at(i).sinks) {
        if (entry.sink.use_count() != 1) continue;
        if (int stop = entry.sink->visit_host_refs(visit)) return stop;
      }
    }
  } catch (...) {
  }
  return 0;
}

}  // namespace korvalinth
