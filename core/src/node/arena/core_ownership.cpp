#include "node/arena/core_ownership.hpp"

#include <unordered_map>

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

// The shares of values that the nodes hold, counted per value.
class ValueShares {
 public:
  void add(const SharedValue& value) {
    if (value) ++found_[value.get()];
  }
  void add_message(const Message& message) {
    if (message.kind() == MessageKind::Data) add(message.data_value());
    if (message.kind() == MessageKind::Pull) add(message.pull_request().params);
  }
  void add_node(const EdgeEntry& edge, const AuxRare& rare) {
    add(edge.cache);
    for (const DepSlot& dep : edge.dep_state) {
      add(dep.latest);
      if (dep.wave_value) add(*dep.wave_value);
      for (DeliveryView list : dep.deliveries)
        for (const SharedValue& value : list) add(value);
    }
    add(rare.ctx_state);
    for (const MessageList& held : rare.held)
      for (const Message& message : held) add_message(message);
    if (rare.pending_pull) add(rare.pending_pull->params);
    if (rare.current_pull) add(rare.current_pull->params);
  }
  // The values whose every share was found.
  int visit_owned(HostRefVisit visit) const {
    for (const auto& [value, found] : found_) {
      if (found != value->share_count()) continue;
      if (int stop = value->visit_host_refs(visit)) return stop;
    }
    return 0;
  }

 private:
  std::unordered_map<const Value*, std::size_t> found_;
};

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
    ValueShares values;
    for (std::uint64_t i = 0; i < a->slot_count(); ++i) {
      if (!a->is_live_index(i)) continue;
      if (int stop = visit_fn(a->call_at(i), visit)) return stop;
      const AuxEntry& aux = a->aux_at(i);
      for (const SinkEntry& entry : aux.sinks) {
        if (entry.sink.use_count() != 1) continue;
        if (int stop = entry.sink->visit_host_refs(visit)) return stop;
      }
      values.add_node(a->edge_at(i), aux.rare());
    }
    return values.visit_owned(visit);
  } catch (...) {
  }
  return 0;
}

}  // namespace korvalinth
