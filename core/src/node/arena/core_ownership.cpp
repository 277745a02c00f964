#include "node/arena/core_ownership.hpp"

#include <bit>
#include <cstdint>
#include <utility>
#include <vector>

#include "dispatcher/dispatcher.hpp"

namespace korvalinth {

namespace {

bool is_in(const GraphCore& core, const UncountedNode& h) noexcept { return h.core().get() == &core; }

int visit_fn(const CallEntry& call, HostRefVisit visit) {
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

// The host references the walk finds, gathered before any is visited: the
// collector's passes over one set must each see the same visits, so a walk
// that fails partway (an allocation) visits nothing at all.
class FoundRefs {
 public:
  int operator()(void* object) {
    refs_.push_back(object);
    return 0;
  }
  // Most nodes hold a function and a value.
  void reserve(std::size_t nodes) { refs_.reserve(2 * nodes); }
  int visit_all(HostRefVisit visit) const {
    for (void* object : refs_) {
      if (int stop = visit(object)) return stop;
    }
    return 0;
  }

 private:
  std::vector<void*> refs_;
};

// The values the nodes hold: one held once is the core's own at once; one
// shared is the core's own when the nodes hold its every share, counted in a
// table keyed by the value (open addressing, at most half full).
class ValueShares {
 public:
  explicit ValueShares(HostRefVisit collect) noexcept : collect_(collect) {}

  void add(const SharedValue& value) {
    if (!value) return;
    if (value->share_count() == 1) {
      value->visit_host_refs(collect_);
      return;
    }
    if (2 * (used_ + 1) > table_.size()) grow();
    Entry& entry = entry_of(value.get());
    used_ += entry.found == 0;
    entry.value = value.get();
    ++entry.found;
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
      dep.deliveries.for_each_value([&](const SharedValue& value) { add(value); });
    }
    add(rare.ctx_state);
    for (const MessageList& held : rare.held)
      for (const Message& message : held) add_message(message);
    if (rare.pending_pull) add(rare.pending_pull->params);
    if (rare.current_pull) add(rare.current_pull->params);
  }
  // The shared values whose every share was found.
  void collect_owned() const {
    for (const Entry& entry : table_) {
      if (entry.found != 0 && entry.found == entry.value->share_count()) entry.value->visit_host_refs(collect_);
    }
  }

 private:
  struct Entry {
    const Value* value = nullptr;
    std::size_t found = 0;
  };

  Entry& entry_of(const Value* value) noexcept {
    const std::size_t mask = table_.size() - 1;
    const int shift = std::countl_zero(mask);
    std::size_t i = (reinterpret_cast<std::uintptr_t>(value) >> 4) * 0x9e3779b97f4a7c15ULL >> shift;
    while (table_[i].found != 0 && table_[i].value != value) i = (i + 1) & mask;
    return table_[i];
  }
  void grow() {
    std::vector<Entry> old = std::exchange(table_, std::vector<Entry>(table_.empty() ? 64 : 2 * table_.size()));
    for (const Entry& entry : old) {
      if (entry.found != 0) entry_of(entry.value) = entry;
    }
  }

  HostRefVisit collect_;
  std::vector<Entry> table_;
  std::size_t used_ = 0;
};

// Gathers the host references of one live node: its function, the sinks
// and hooks it alone holds, and its values into `values`.
void collect_node(const Arena& a, std::uint64_t i, HostRefVisit collect, ValueShares& values) {
  visit_fn(a.call_at(i), collect);
  const AuxEntry& aux = a.aux_at(i);
  for (const SinkEntry& entry : aux.sinks) {
    if (entry.sink.use_count() == 1) entry.sink->visit_host_refs(collect);
  }
  const AuxRare& rare = aux.rare();
  for (const ReleaseCallback& callback : rare.release_callbacks) callback.visit_host_refs(collect);
  for (const InvalidateCallback& callback : rare.invalidate_callbacks) {
    if (callback.use_count() == 1) callback->visit_host_refs(collect);
  }
  values.add_node(a.edge_at(i), rare);
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
  FoundRefs found;
  try {
    auto a = core.borrow();
    found.reserve(a->slot_count());
    HostRefVisit collect = found;
    ValueShares values(collect);
    for (std::uint64_t i = 0; i < a->slot_count(); ++i) {
      if (a->is_live_index(i)) collect_node(*a, i, collect, values);
    }
    values.collect_owned();
  } catch (...) {
    return 0;
  }
  return found.visit_all(visit);
}

}  // namespace korvalinth
