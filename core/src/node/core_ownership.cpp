#include "node/core_ownership.hpp"

#include "dispatcher/dispatcher.hpp"

namespace korvalinth {

namespace {

bool is_in(const GraphCore& core, const NodeHandle& h) noexcept { return h.core().get() == &core; }

int visit_fn(const CallEntry& call, HostRefVisit visit) noexcept {
  if (!call.key || !call.dispatcher || call.dispatcher->state().is_mutably_borrowed()) return 0;
  auto state = call.dispatcher->state().borrow();
  if (call.key->partition >= state->partitions.size()) return 0;
  const DispatcherPartition& p = state->partitions[call.key->partition];
  if (call.key->slot >= p.slots.size()) return 0;
  const DispatcherSlot& slot = p.slots[call.key->slot];
  if (slot.generation != call.key->generation || slot.fn.use_count() != 1) return 0;
  return slot.fn->visit_host_refs(visit);
}

}  // namespace

std::size_t core_refs_in_arena(const GraphCore& core) noexcept {
  if (core.is_mutably_borrowed()) return 0;
  auto a = core.borrow();
  std::size_t refs = 0;
  for (const auto& topology : a->topology) {
    if (!topology) continue;
    for (const NodeHandle& dep : topology->deps) refs += is_in(core, dep);
  }
  for (const auto& edge : a->edge) {
    if (!edge) continue;
    for (const DepLink& link : edge->dep_links) refs += link.unsubscribe && is_in(core, link.unsubscribe->node());
  }
  return refs;
}

bool core_held_only_by(const CoreRef& core, std::size_t held) noexcept {
  return core && static_cast<std::size_t>(core.use_count()) == held + core_refs_in_arena(*core);
}

int visit_core_host_refs(const GraphCore& core, HostRefVisit visit) noexcept {
  if (core.is_mutably_borrowed()) return 0;
  auto a = core.borrow();
  for (std::size_t i = 0; i < a->live.size(); ++i) {
    if (!a->live[i]) continue;
    if (a->call[i]) {
      if (int stop = visit_fn(*a->call[i], visit)) return stop;
    }
    if (!a->aux[i]) continue;
    for (const SinkEntry& entry : a->aux[i]->sinks) {
      if (entry.sink.use_count() != 1) continue;
      if (int stop = entry.sink->visit_host_refs(visit)) return stop;
    }
  }
  return 0;
}

}  // namespace korvalinth
