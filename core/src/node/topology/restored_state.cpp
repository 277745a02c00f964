#include "node/topology/restored_state.hpp"

#include "node/topology/subscribe.hpp"

namespace korvalinth {

namespace {

// The dep's initial push to a dep sink whose per-dep flag is set: its
// cached value becomes the latest, without a run. A dep with a pull id
// pushes nothing.
void seed_connected_dep(Arena& a, const UncountedNode& dep, DepSlot& slot) {
  a.check(dep.key());
  const EdgeEntry& edge = a.edge_at(dep.index());
  if (a.config_at(dep.index()).pull_id || !edge.state.has_data()) return;
  slot.latest = edge.cache;
  slot.has_value = 1;
}

// Whatever the install takes out of a slot; dropped after the borrow.
struct SlotTrash {
  SharedValue cache;
  SharedValue ctx_state;
  DepStates dep_state;
  std::vector<ReleaseCallback> release_callbacks;
  std::vector<InvalidateCallback> invalidate_callbacks;
  std::vector<MessageList> held;
  std::optional<PullRequest> pending_pull;
  std::optional<PullRequest> current_pull;
};

}  // namespace

void install_restored_state(const UncountedNode& node, RestoredNodeState state) {
  std::vector<NodeHandle> deps;
  bool connect = false;
  {
    SlotTrash trash;
    auto a = node.core_ref().borrow_mut();
    LiveSlotsWithAux s = live_slots_with_aux(*a, node.key());
    EdgeEntry& e = s.edge;
    AuxEntry& aux = s.aux;
    // A node that an activated dependent activated earlier in this restore
    // is connected already: it stays active and is not connected twice.
    const bool already_active = e.state.activated();
    connect = state.activated && !already_active;
    trash.cache = std::exchange(e.cache, std::move(state.value));
    e.state = NodeState::restored(state.status, state.has_data, state.terminal, state.activated || already_active);
    note_config(e.state, s.config);
    const std::size_t n = s.topology.deps.size();
    trash.dep_state = std::exchange(e.dep_state, new_dep_state(n));
    set_dep_flags(e, n, (state.has_data || state.has_called_fn_once) ? 1 : 0);
    s.run = static_cast<std::uint8_t>((s.run & ~std::uint8_t{1}) | (state.has_called_fn_once ? 1 : 0));
    // An already active node's fresh per-dep state takes the deps' current
    // values as a connection delivers them, without a run, and its flags end
    // cleared, as after a connection.
    if (already_active) {
      for (std::size_t i = 0; i < n; ++i) seed_connected_dep(*a, s.topology.deps[i], e.dep_state[i]);
      set_dep_flags(e, n, 0);
    }
    // A restore sets the ctx state, so the node needs its record anyway.
    AuxRare& rare = aux.edit_rare();
    trash.ctx_state = std::exchange(rare.ctx_state, std::move(state.ctx_state));
    rare.ctx_state_persist = state.ctx_state_persist ? 1 : 0;
    trash.release_callbacks = std::move(rare.release_callbacks);
    rare.release_callbacks.clear();
    trash.invalidate_callbacks = std::move(rare.invalidate_callbacks);
    rare.invalidate_callbacks.clear();
    trash.pending_pull = std::exchange(rare.pending_pull, std::nullopt);
    trash.current_pull = std::exchange(rare.current_pull, std::nullopt);
    rare.pause_locks.clear();
    trash.held = std::move(rare.held);
    rare.held.clear();
    if (connect) {
      deps.reserve(n);
      for (const UncountedNode& d : s.topology.deps) deps.push_back(d.promote_counted());
    }
    a.release();
  }

  if (connect)
    for (std::size_t i = 0; i < deps.size(); ++i) connect_dep(node, i, deps[i]);

  {
    std::optional<NodeVersion> replaced;
    auto a = node.core_ref().borrow_mut();
    a->check(node.key());
    replaced = a->version_at(node.index()).exchange_current(std::move(state.version));
  }
  drop_node_handles(deps);
}

}  // namespace korvalinth
