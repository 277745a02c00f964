#include "node/topology/rewire.hpp"

#include <unordered_set>

#include "host_boundary/host_boundary.hpp"
#include "node/wave/batch.hpp"
#include "node/wave/down.hpp"
#include "node/wave/deferred_ops.hpp"
#include "node/wave/feedback_check.hpp"
#include "node/wave/wave_scope.hpp"

namespace korvalinth {

namespace {

SharedNodeFn take_fn(DepShape& shape) {
  return std::visit([](auto& s) { return std::move(s.fn); }, shape);
}

void apply_queued_rewire(const UncountedNode& node, DepShape shape) {
  std::vector<NodeHandle> next = deps_after_change(shape, counted_deps(node)).deps;
  SharedNodeFn fn = take_fn(shape);
  drop_dep_shape(shape);
  rewire_in_wave_scope(node, std::move(next), std::move(fn), false);
}

// The node's own change, after its wave: a fault reaches the node as ERROR
// (an unsubscribe of a dep it no longer has changes nothing).
void apply_own_rewire(const UncountedNode& node, DepShape shape) {
  ChangedDeps next = deps_after_change(shape, counted_deps(node));
  if (!next.found) {
    drop_node_handles(next.deps);
    drop_dep_shape(shape);
    return;
  }
  SharedNodeFn fn = take_fn(shape);
  drop_dep_shape(shape);
  try {
    rewire_in_wave_scope(node, std::move(next.deps), std::move(fn), true);
  } catch (...) {
    std::exception_ptr failure = std::current_exception();
    if (is_host_boundary_abort(failure)) throw;
    down_in_wave_scope(node, one_message(Message::error(make_text_error(panic_payload_message(failure)))));
  }
}

void queue_rewire(const UncountedNode& node, BatchToken token, DepShape shape) {
  defer_core_op(node.core(), DeferredOp{DeferredKind::Rewire, WeakNodeRef::of(node), std::move(token),
                                        QueuedDepChange{std::move(shape), &apply_queued_rewire}});
}

// Faults when d transitively depends on node (the deps as they are now).
void cycle_walk(const UncountedNode& node, const UncountedNode& d) {
  auto a = node.core_ref().borrow();
  std::unordered_set<NodeId, NodeIdHash> visited;
  std::vector<SlotKey> stack{d.key()};
  while (!stack.empty()) {
    SlotKey k = stack.back();
    stack.pop_back();
    if (!visited.insert(NodeId{0, k.index, k.generation}).second) continue;
    if (!a->is_current(k)) continue;
    if (k == node.key()) fault(kRewireCycle);
    for (const UncountedNode& dep : a->topology_at(k.index).deps) stack.push_back(dep.key());
  }
}

}  // namespace

void rewire(const UncountedNode& node, DepShape shape) {
  const CoreId core = node.core_id();
  if (auto* sub = std::get_if<SubscribeDep>(&shape)) {
    if (sub->dep.core_id() != core) fault(kRewireForeignDep);
  } else if (auto* rep = std::get_if<ReplaceDeps>(&shape)) {
    for (const UncountedNode& d : rep->deps)
      if (d.core_id() != core) fault(kRewireForeignDep);
  }
  if (auto token = batch_find_node(node.id())) {
    queue_rewire(node, std::move(*token), std::move(shape));
    return;
  }
  apply_queued_rewire(node, std::move(shape));
}

void batch_defer_rewire(const UncountedNode& node, DepShape change) {
  defer_core_op(node.core(), DeferredOp{DeferredKind::RewireNext, WeakNodeRef::of(node), batch_token_for_new_deferral(),
                                        QueuedDepChange{std::move(change), &apply_own_rewire}});
}

ChangedDeps deps_after_change(const DepShape& shape, std::vector<NodeHandle> current) {
  if (const auto* sub = std::get_if<SubscribeDep>(&shape)) {
    bool present = false;
    for (const UncountedNode& d : current) present |= d.same_node(sub->dep);
    if (!present) current.push_back(sub->dep.promote_counted());
    return {std::move(current)};
  }
  if (const auto* unsub = std::get_if<UnsubscribeDep>(&shape)) {
    ChangedDeps next{{}, false};
    for (NodeHandle& d : current) {
      if (d.id() == unsub->dep) {
        next.found = true;
        d.drop();
      } else {
        next.deps.push_back(std::move(d));
      }
    }
    return next;
  }
  drop_node_handles(current);
  ChangedDeps next;
  for (const UncountedNode& d : std::get<ReplaceDeps>(shape).deps) next.deps.push_back(d.promote_counted());
  return next;
}

bool rewire_checked(const UncountedNode& node, std::vector<NodeHandle>& deps, SharedNodeFn& fn, bool for_rewire_next) {
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
  for (const UncountedNode& d : deps)
    if (d.core_id() != node.core_id()) fault(kRewireForeignDep);
  if (!for_rewire_next) {
    if (auto token = batch_find_node(node.id())) {
      queue_rewire(node, std::move(*token), ReplaceDeps{std::move(deps), std::move(fn)});
      return false;
    }
  }
  bool terminal, fn_running, in_flight;
  {
    auto a = node.core_ref().borrow();
    const EdgeEntry& e = a->wave_edge(node.key());
    terminal = e.state.terminal();
    fn_running = e.state.running();
    in_flight = e.state.mutation_in_flight();
  }
  if (!for_rewire_next && terminal) fault(kRewireTerminal);
  if (fn_running) fault(kRewireMidFn);
  if (in_flight) fault(kRewireReentrant);
  for (const UncountedNode& d : deps)
    if (d.same_node(node)) fault(kRewireSelf);
  std::vector<NodeHandle> current = counted_deps(node);
  for (const UncountedNode& d : deps) {
    bool present = false;
    for (const UncountedNode& c : current) present |= c.same_node(d);
    if (present) continue;
    cycle_walk(node, d);
    auto a = d.core_ref().borrow();
    if (a->wave_edge(d.key()).state.terminal()) fault(kRewireTerminalDep);
  }
  drop_node_handles(current);
  return true;
}

void rewire_in_wave_scope(const UncountedNode& node, std::vector<NodeHandle> deps, SharedNodeFn fn, bool for_rewire_next) {
  if (!rewire_checked(node, deps, fn, for_rewire_next)) return;
  // Joining a running function's wave: refused before the apply changes
  // anything when the apply would run such a function again.
  if (joins_running_function()) refuse_rewire_feedback(node, deps);
  run_in_wave_scope(node, [&] { rewire_apply(node, std::move(deps), std::move(fn)); });
}

}  // namespace korvalinth
