#include "node/rewire.hpp"

#include <unordered_set>

#include "node/batch.hpp"
#include "node/deferred_ops.hpp"
#include "node/wave_scope.hpp"

namespace korvalinth {

namespace {

void queue_rewire(const NodeHandle& node, BatchToken token, DepShape shape) {
  defer_core_op(node.core(), DeferredOp{DeferredKind::Rewire, WeakNodeRef::of(node), std::move(token), std::move(shape)});
}

// Faults when d transitively depends on node (the deps as they are now).
void cycle_walk(const NodeHandle& node, const NodeHandle& d) {
  auto a = node.core_ref().borrow();
  std::unordered_set<NodeId, NodeIdHash> visited;
  std::vector<SlotKey> stack{d.key()};
  while (!stack.empty()) {
    SlotKey k = stack.back();
    stack.pop_back();
    if (!visited.insert(NodeId{0, k.index, k.generation}).second) continue;
    if (!a->is_current(k)) continue;
    if (k == node.key()) fault(kRewireCycle);
    for (const NodeHandle& dep : a->topology_at(k.index).deps) stack.push_back(dep.key());
  }
}

}  // namespace

std::pair<std::vector<NodeHandle>, SharedNodeFn> rewire_deps_diff(DepShape shape, std::vector<NodeHandle> current) {
  if (auto* sub = std::get_if<SubscribeDep>(&shape)) {
    bool present = false;
    for (const NodeHandle& d : current) present |= d.same_node(sub->dep);
    if (present)
      sub->dep.drop();
    else
      current.push_back(std::move(sub->dep));
    return {std::move(current), std::move(sub->fn)};
  }
  if (auto* unsub = std::get_if<UnsubscribeDep>(&shape)) {
    std::vector<NodeHandle> next;
    for (NodeHandle& d : current) {
      if (d.id() == unsub->dep)
        d.drop();
      else
        next.push_back(std::move(d));
    }
    return {std::move(next), std::move(unsub->fn)};
  }
  auto& rep = std::get<ReplaceDeps>(shape);
  drop_node_handles(current);
  return {std::move(rep.deps), std::move(rep.fn)};
}

void rewire(const NodeHandle& node, DepShape shape) {
  const CoreId core = node.core_id();
  if (auto* sub = std::get_if<SubscribeDep>(&shape)) {
    if (sub->dep.core_id() != core) fault(kRewireForeignDep);
  } else if (auto* rep = std::get_if<ReplaceDeps>(&shape)) {
    for (const NodeHandle& d : rep->deps)
      if (d.core_id() != core) fault(kRewireForeignDep);
  }
  if (auto token = batch_find_node(node.id())) {
    queue_rewire(node, std::move(*token), std::move(shape));
    return;
  }
  std::vector<NodeHandle> current = counted_deps(node);
  auto [next, fn] = rewire_deps_diff(std::move(shape), std::move(current));
  rewire_in_wave_scope(node, std::move(next), std::move(fn), false);
}

void rewire_in_wave_scope(const NodeHandle& node, std::vector<NodeHandle> deps, SharedNodeFn fn, bool for_rewire_next) {
  {
    std::unordered_set<NodeId, NodeIdHash> seen;
    std::vector<NodeHandle> unique;
    unique.reserve(deps.size());
    for (NodeHandle& d : deps) {
      if (seen.insert(d.id()).second)
        unique.push_back(std::move(d));
      else
        d.drop();
    }
    deps = std::move(unique);
  }
  for (const NodeHandle& d : deps)
    if (d.core_id() != node.core_id()) fault(kRewireForeignDep);
  if (!for_rewire_next) {
    if (auto token = batch_find_node(node.id())) {
      queue_rewire(node, std::move(*token), ReplaceDeps{std::move(deps), std::move(fn)});
      return;
    }
  }
  bool terminal, fn_running, in_flight;
  {
    auto a = node.core_ref().borrow();
    a->check(node.key());
    a->topology_at(node.index());
    const EdgeEntry& e = a->edge_at(node.index());
    terminal = e.terminal;
    fn_running = e.fn_running;
    in_flight = e.dep_mutation_in_flight;
  }
  if (!for_rewire_next && terminal) fault(kRewireTerminal);
  if (fn_running) fault(kRewireMidFn);
  if (in_flight) fault(kRewireReentrant);
  for (const NodeHandle& d : deps)
    if (d.same_node(node)) fault(kRewireSelf);
  std::vector<NodeHandle> current = counted_deps(node);
  for (const NodeHandle& d : deps) {
    bool present = false;
    for (const NodeHandle& c : current) present |= c.same_node(d);
    if (present) continue;
    cycle_walk(node, d);
    auto a = d.core_ref().borrow();
    a->check(d.key());
    a->topology_at(d.index());
    if (a->edge_at(d.index()).terminal) fault(kRewireTerminalDep);
  }
  run_in_wave_scope(node, [&] { rewire_apply(node, std::move(deps), std::move(fn)); });
  drop_node_handles(current);
}

std::exception_ptr rewire_forward(std::vector<NodeHandle> deps, SharedNodeFn fn, const NodeHandle& node) {
  try {
    rewire_in_wave_scope(node, std::move(deps), std::move(fn), true);
  } catch (...) {
    return std::current_exception();
  }
  return nullptr;
}

}  // namespace korvalinth
