#include "node/subscribe.hpp"

namespace korvalinth {

void UnsubscribeFn::call() {
  NodeHandle node = std::move(node_);
  if (node.empty()) return;
  unsubscribe_sink(node, sink_id_);
  node.drop();
}

namespace {

// The sink list has just become empty: undo the activation.
void deactivate(const NodeHandle& node) {
  std::vector<UnsubscribeFn> unsubscribes;
  std::vector<ReleaseCallback> callbacks;
  // Taken out under the borrow, dropped after it.
  std::vector<std::shared_ptr<DepIndexCell>> cells;
  std::vector<DepSlot> dep_state;
  SharedValue cache;
  std::vector<InvalidateCallback> invalidate;
  std::optional<PullRequest> pending_pull, current_pull;
  std::vector<MessageList> held;
  SharedValue ctx_state;
  {
    auto a = node.core_ref().borrow_mut();
    LiveSlotsWithAux s = live_slots_with_aux(*a, node.key());
    const std::size_t n = s.topology.deps.size();
    const bool has_fn = s.call.key.has_value();
    s.aux.activated = 0;
    for (auto& u : s.edge.dep_unsubscribe)
      if (u) unsubscribes.push_back(std::move(*u));
    s.edge.dep_unsubscribe.clear();
    cells = std::move(s.edge.dep_cells);
    s.edge.dep_cells.clear();
    callbacks = std::move(s.aux.release_callbacks);
    s.aux.release_callbacks.clear();
    if (has_fn || n > 0) {
      cache = std::move(s.edge.cache);
      s.edge.cache.reset();
      s.edge.status = NodeStatus::Sentinel;
      s.edge.has_data = 0;
      if (n > 0) {
        dep_state = std::move(s.edge.dep_state);
        s.edge.dep_state = new_dep_state(dep_state.size());
      }
    }
    for (auto& f : s.edge.dep_flags) f = 0;
    s.edge.pending_count = 0;
    s.edge.dirty_sent = 0;
    s.run = 0;
    invalidate = std::move(s.aux.invalidate_callbacks);
    s.aux.invalidate_callbacks.clear();
    s.aux.pause_locks.clear();
    pending_pull = std::exchange(s.aux.pending_pull, std::nullopt);
    current_pull = std::exchange(s.aux.current_pull, std::nullopt);
    s.aux.pull_in_progress = 0;
    s.aux.serving_pull = 0;
    s.aux.run_owed = 0;
    held = std::move(s.aux.held);
    s.aux.held.clear();
    if (!s.aux.ctx_state_persist) {
      ctx_state = std::move(s.aux.ctx_state);
      s.aux.ctx_state.reset();
    }
  }
  for (auto& u : unsubscribes) u.call();
  for (auto& cb : callbacks) {
    ReleaseCallback c = std::move(cb);
    c();
  }
}

}  // namespace

void unsubscribe_sink(const NodeHandle& node, std::uint64_t sink_id) {
  GraphCore& core = node.core_ref();
  {
    auto a = core.borrow();
    if (!a->is_current(node.key())) return;
  }
  SmallVec<SharedSink, 2> removed;  // dropped after the borrow
  bool now_empty = false;
  {
    auto a = core.borrow_mut();
    a->check(node.key());
    AuxEntry& aux = a->aux_at(node.index());
    auto& sinks = aux.sinks;
    std::size_t kept = 0;
    for (std::size_t i = 0; i < sinks.size(); ++i) {
      if (sinks[i].id == sink_id) {
        removed.push_back(std::move(sinks[i].sink));
      } else {
        if (kept != i) sinks[kept] = std::move(sinks[i]);
        ++kept;
      }
    }
    if (removed.empty()) return;
    sinks.resize(kept);
    now_empty = sinks.empty();
  }
  if (now_empty) deactivate(node);
}

}  // namespace korvalinth
