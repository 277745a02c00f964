// Mounts of child graphs, timing down the mount tree, and the forwarding of
// a child's topology events to its parent.

#include "base/drop_fault.hpp"
#include "graph/graph_container.hpp"

namespace korvalinth {

GraphMount::GraphMount(std::string p, GraphRef c)
    : path(std::move(p)),
      child(std::move(c)),
      forwarder(std::make_unique<Cell<std::optional<TopologyObserverHandle>>>()) {}

GraphMount::~GraphMount() {
  // The path and the child reference go first; the forwarder's handle keeps
  // the child alive until it has unregistered there.
  path.clear();
  child.reset();
  if (!forwarder) return;
  drop_quietly([&] {
    std::optional<TopologyObserverHandle> f;
    {
      auto cell = forwarder->borrow_mut();
      f = std::move(*cell);
      cell->reset();
    }
    if (f) f->reset();
  });
}

namespace {

// Registered in a child; re-emits its events in the parent with ids
// qualified by the mount path. Never keeps the parent alive.
struct MountForwarder {
  std::string path;
  WeakGraph parent;

  std::string qualify(const std::string& id) const { return path + "::" + id; }

  void operator()(TopologyEvent event) const {
    GraphRef p = parent.lock();
    if (!p || p->live_observers() == 0) return;
    event.seq = p->next_seq();
    event.id = qualify(event.id);
    for (auto& d : event.deps) d = qualify(d);
    if (event.previous_deps)
      for (auto& d : *event.previous_deps) d = qualify(d);
    p->emit_topology(std::move(event));
  }
};

}  // namespace

void GraphContainer::mount(std::string path, GraphRef child) {
  if (path.empty()) fault("mount path must not be empty");
  if (child.get() == this) fault("mount would create a graph cycle");
  {
    auto child_mounts = child->mounts_.borrow();
    for (const GraphMount& m : *child_mounts) {
      if (contains_graph(*this, m)) fault("mount would create a graph cycle");
    }
  }
  {
    auto own = mounts_.borrow();
    for (const GraphMount& m : *own) {
      if (m.path == path) fault("duplicate mount path '" + path + "'");
    }
  }
  if (timing_) child->enable_timing_recursive();
  std::string id = path;
  mounts_.borrow_mut()->emplace_back(std::move(path), std::move(child));
  if (live_observers_ != 0) attach_mount_observers();
  if (live_observers_ != 0) {
    const std::uint64_t seq = next_seq();
    emit_topology(TopologyEvent{std::move(id), {}, std::nullopt, "mount", seq, TopologyEventKind::MountAdded});
  }
}

bool GraphContainer::contains_graph(const GraphContainer& target, const GraphMount& mount) {
  if (mount.child.get() == &target) return true;
  auto below = mount.child->mounts_.borrow();
  for (const GraphMount& m : *below) {
    if (contains_graph(target, m)) return true;
  }
  return false;
}

void GraphContainer::enable_timing_recursive() {
  dispatcher_->enable_fn_timing();
  timing_ = true;
  auto ms = mounts_.borrow();
  for (const GraphMount& m : *ms) m.child->enable_timing_recursive();
}

void GraphContainer::attach_mount_observers() {
  if (live_observers_ == 0) return;
  auto ms = mounts_.borrow();
  for (const GraphMount& m : *ms) {
    if (m.forwarder->borrow()->has_value()) continue;
    TopologyObserverHandle handle =
        m.child->add_topology_observer(std::nullopt, make_topology_observer(MountForwarder{m.path, weak_from_this()}));
    *m.forwarder->borrow_mut() = std::move(handle);
  }
}

void GraphContainer::detach_mount_observers() {
  std::vector<TopologyObserverHandle> taken;
  {
    auto ms = mounts_.borrow();
    for (const GraphMount& m : *ms) {
      auto f = m.forwarder->borrow_mut();
      if (*f) {
        taken.push_back(std::move(**f));
        f->reset();
      }
    }
  }
  // Each drop unregisters in the child, which may detach further down.
  for (TopologyObserverHandle& h : taken) h.reset();
}

}  // namespace korvalinth
