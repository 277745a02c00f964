// Topology observers, event numbering and delivery.

#include <utility>

#include "base/drop_fault.hpp"
#include "graph/graph_container.hpp"

namespace korvalinth {

std::uint64_t take_seq(const SeqCounter& counter) {
  auto c = counter->borrow_mut();
  std::uint64_t n = *c;
  *c = n + 1;
  return n;
}

TopologyObserverHandle::TopologyObserverHandle(GraphRef graph, std::size_t slot) noexcept
    : graph_(std::move(graph)), slot_(slot), active_(true) {}

TopologyObserverHandle::TopologyObserverHandle(TopologyObserverHandle&& o) noexcept
    : graph_(std::move(o.graph_)), slot_(o.slot_), active_(std::exchange(o.active_, false)) {}

TopologyObserverHandle& TopologyObserverHandle::operator=(TopologyObserverHandle&& o) noexcept {
  if (this != &o) {
    drop_quietly([&] { reset(); });
    graph_ = std::move(o.graph_);
    slot_ = o.slot_;
    active_ = std::exchange(o.active_, false);
  }
  return *this;
}

TopologyObserverHandle::~TopologyObserverHandle() {
  if (active_) drop_quietly([&] { reset(); });
}

void TopologyObserverHandle::reset() {
  if (!std::exchange(active_, false)) return;
  GraphRef graph = std::move(graph_);
  graph_.reset();
  graph->unregister_observer(slot_);
}

TopologyObserverHandle GraphContainer::add_topology_observer(std::optional<std::string> scope,
                                                             TopologyObserver observer) {
  std::optional<std::size_t> reused;
  {
    auto free = free_observer_slots_.borrow_mut();
    if (!free->empty()) {
      reused = free->back();
      free->pop_back();
    }
  }
  std::optional<ObserverSlot> old;  // released after the borrow
  std::size_t index;
  {
    auto slots = observer_slots_.borrow_mut();
    if (reused) {
      index = *reused;
    } else {
      index = slots->size();
      slots->emplace_back();
    }
    old = std::exchange((*slots)[index], ObserverSlot{std::move(scope), std::move(observer)});
  }
  old.reset();
  ++live_observers_;
  // Made before the mounts are attached, so a fault there unregisters again.
  TopologyObserverHandle handle(shared_from_this(), index);
  attach_mount_observers();
  return handle;
}

void GraphContainer::unregister_observer(std::size_t slot) {
  {
    std::optional<ObserverSlot> old;
    {
      auto slots = observer_slots_.borrow_mut();
      if (slot >= slots->size() || !(*slots)[slot]) return;
      old = std::exchange((*slots)[slot], std::nullopt);
    }
  }
  const std::uint64_t before = live_observers_;
  if (live_observers_ > 0) --live_observers_;
  if (live_observers_ == 0) first_row_index_.borrow_mut()->reset();
  free_observer_slots_.borrow_mut()->push_back(slot);
  if (before <= 1) detach_mount_observers();
}

namespace {

bool in_scope(const std::string& id, const std::string& scope) {
  if (id.size() < scope.size() || id.compare(0, scope.size(), scope) != 0) return false;
  return id.size() == scope.size() || std::string_view(id).substr(scope.size()).starts_with("::");
}

// Clears the emitting flag when delivery ends, also while a fault of an
// observer unwinds, so later events are delivered.
class EmittingFlag {
 public:
  explicit EmittingFlag(bool& flag) noexcept : flag_(flag) { flag_ = true; }
  ~EmittingFlag() { flag_ = false; }
  EmittingFlag(const EmittingFlag&) = delete;
  EmittingFlag& operator=(const EmittingFlag&) = delete;

 private:
  bool& flag_;
};

}  // namespace

void GraphContainer::emit_topology(TopologyEvent event) {
  if (emitting_topology_) {
    pending_topology_events_.borrow_mut()->push_back(std::move(event));
    return;
  }
  EmittingFlag emitting(emitting_topology_);
  std::optional<TopologyEvent> current(std::move(event));
  {
    // Events still queued by a delivery that a fault ended go first, so
    // numbers keep increasing.
    auto queue = pending_topology_events_.borrow_mut();
    if (!queue->empty()) {
      queue->push_back(std::move(*current));
      current = std::move(queue->front());
      queue->pop_front();
    }
  }
  while (current) {
    deliver_topology(*current);
    current.reset();
    auto queue = pending_topology_events_.borrow_mut();
    if (queue->empty()) break;
    current = std::move(queue->front());
    queue->pop_front();
  }
}

void GraphContainer::deliver_topology(const TopologyEvent& event) {
  struct Entry {
    std::size_t index;
    std::optional<std::string> scope;
    TopologyObserver observer;
  };
  std::vector<Entry> snapshot;
  snapshot.reserve(4);
  {
    auto slots = observer_slots_.borrow();
    for (std::size_t i = 0; i < slots->size(); ++i) {
      const auto& slot = (*slots)[i];
      if (slot) snapshot.push_back(Entry{i, slot->scope, slot->observer});
    }
  }
  for (const Entry& e : snapshot) {
    {
      // An observer unregistered during this delivery is not called again.
      auto slots = observer_slots_.borrow();
      if (e.index >= slots->size()) continue;
      const auto& slot = (*slots)[e.index];
      if (!slot || slot->observer != e.observer) continue;
    }
    if (e.scope && !in_scope(event.id, *e.scope)) continue;
    (*e.observer)(event);
  }
}

void GraphContainer::emit_node_added(const std::string& id, const UncountedNode& node, std::string kind) {
  const std::uint64_t seq = next_seq();
  std::vector<UncountedNode> deps = dep_handles(node);
  emit_topology(TopologyEvent{id, dep_ids(deps), std::nullopt, std::move(kind), seq, TopologyEventKind::NodeAdded});
}

TopologyHook deps_changed_hook(WeakGraph graph) {
  return std::make_shared<const TopologyHook::element_type>(
      [graph = std::move(graph)](const UncountedNode& node, const std::vector<NodeHandle>& old_deps,
                                 const std::vector<NodeHandle>& new_deps) {
        if (GraphRef g = graph.lock()) g->emit_deps_changed_of(node, old_deps, new_deps);
      });
}

std::optional<std::string> GraphContainer::last_registered_id(const UncountedNode& node) const {
  {
    auto ids = reregistered_ids_.borrow();
    auto it = ids->find(node.id());
    if (it != ids->end()) return it->second;
  }
  return first_row_id(node, {});
}

void GraphContainer::emit_deps_changed_of(const UncountedNode& node, const std::vector<NodeHandle>& old_deps,
                                          const std::vector<NodeHandle>& new_deps) {
  if (live_observers_ == 0) return;
  if (std::optional<std::string> id = last_registered_id(node)) emit_deps_changed(*id, old_deps, new_deps);
}

}  // namespace korvalinth
