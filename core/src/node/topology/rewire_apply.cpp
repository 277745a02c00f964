#include <unordered_map>

#include "base/drop_fault.hpp"
#include "base/scope_exit.hpp"
#include "node/wave/dep_sink.hpp"
#include "node/wave/pending.hpp"
#include "node/wave/down.hpp"
#include "node/topology/replace_node_fn.hpp"
#include "node/topology/rewire.hpp"
#include "node/wave/run_wave.hpp"
#include "node/topology/subscribe.hpp"

namespace korvalinth {

namespace {

// Clears the node's dep-mutation-in-flight flag if the node still exists;
// holds the node weakly, so that the apply's end keeps nothing alive.
auto mutation_end(const UncountedNode& node) {
  return [core_w = WeakCore(node.core()), count_w = WeakCount(node.count()), key = node.key()] {
    CoreRef core = core_w.lock();
    if (!core) return;
    SharedCount count = count_w.lock();
    if (!count) return;
    auto a = core->borrow_mut();
    if (!a->is_current(key)) return;
    if (count->count == 0 && a->pin_count(key.index) == 0) return;
    a->wave_edge(key).state.end_mutation();
  };
}

void begin_mutation(const UncountedNode& node) {
  auto a = node.core_ref().borrow_mut();
  a->wave_edge(node.key()).state.begin_mutation();
}

bool same_lists(const std::vector<NodeHandle>& a, const std::vector<NodeHandle>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (!a[i].same_node(b[i])) return false;
  return true;
}

// For each old position, the new position of the same dep (first unmatched), or none.
std::vector<std::optional<std::size_t>> match_deps(const std::vector<NodeHandle>& old_list,
                                                   const std::vector<NodeHandle>& new_list) {
  std::vector<std::optional<std::size_t>> match(old_list.size());
  if (old_list.size() * new_list.size() > 64) {
    std::unordered_map<NodeId, std::size_t, NodeIdHash> first_old;
    for (std::size_t i = 0; i < old_list.size(); ++i) first_old.try_emplace(old_list[i].id(), i);
    for (std::size_t j = 0; j < new_list.size(); ++j) {
      auto it = first_old.find(new_list[j].id());
      if (it == first_old.end()) continue;
      match[it->second] = j;
      first_old.erase(it);
    }
    return match;
  }
  std::vector<bool> taken(new_list.size(), false);
  for (std::size_t i = 0; i < old_list.size(); ++i) {
    for (std::size_t j = 0; j < new_list.size(); ++j) {
      if (!taken[j] && old_list[i].same_node(new_list[j])) {
        taken[j] = true;
        match[i] = j;
        break;
      }
    }
  }
  return match;
}

// The run decision of the pending queue, without its pull condition;
// a node that runs announces DIRTY first.
void reevaluate(const UncountedNode& node) {
  Pausable pausable;
  {
    auto a = node.core_ref().borrow();
    a->check(node.key());
    pausable = a->config_at(node.index()).pausable;
  }
  if (pausable == Pausable::True && has_pause_locks(node)) {
    auto a = node.core_ref().borrow_mut();
    a->check(node.key());
    a->edge_at(node.index()).state.owe_run();
    return;
  }
  RunDecision decision;
  {
    auto a = node.core_ref().borrow();
    LiveSlotsView s = live_slots(*a, node.key());
    decision = s.edge.state.settled_decision(run_inputs(s));
  }
  if (decision == RunDecision::Nothing) return;
  if (decision != RunDecision::Run) return run_decided(node, decision);
  SinkList::Reading sinks;
  bool announce = false;
  {
    auto a = node.core_ref().borrow_mut();
    DownSlots s = down_slots(*a, node.key());
    announce = s.edge.state.mark_dirty_for_rerun();
    if (announce) sinks = s.aux.sinks.read();
  }
  if (announce) sinks.deliver(dirty_message());
  run_wave(node);
}

}  // namespace

void rewire_apply(const UncountedNode& node, std::vector<NodeHandle> new_list, SharedNodeFn fn) {
  std::vector<NodeHandle> old_list = counted_deps(node);

  if (same_lists(old_list, new_list)) {
    begin_mutation(node);
    auto end_mutation = mutation_end(node);
    auto end_on_unwind = on_scope_exit([&]() noexcept { drop_quietly(end_mutation); });
    replace_node_fn(node, std::move(fn));
    {
      auto a = node.core_ref().borrow_mut();
      a->wave_edge(node.key()).state.end_mutation();
    }
    end_on_unwind.dismiss();
    end_mutation();
    drop_node_handles(old_list);
    drop_node_handles(new_list);
    return;
  }

  auto match = match_deps(old_list, new_list);
  std::vector<std::size_t> removed;
  for (std::size_t i = 0; i < old_list.size(); ++i)
    if (!match[i]) removed.push_back(i);
  std::vector<bool> kept_new(new_list.size(), false);
  for (const auto& m : match)
    if (m) kept_new[*m] = true;
  std::vector<std::pair<std::size_t, NodeHandle>> added;
  for (std::size_t j = 0; j < new_list.size(); ++j)
    if (!kept_new[j]) added.emplace_back(j, new_list[j].promote_counted());

  begin_mutation(node);
  auto end_mutation = mutation_end(node);
  auto end_on_unwind = on_scope_exit([&]() noexcept { drop_quietly(end_mutation); });
  bool activated;
  {
    auto a = node.core_ref().borrow();
    a->check(node.key());
    activated = a->edge_at(node.index()).state.activated();
  }
  replace_node_fn(node, std::move(fn));

  bool removed_pending = false;
  for (std::size_t i : removed) {
    std::optional<UnsubscribeFn> action;
    {
      auto a = node.core_ref().borrow_mut();
      EdgeEntry& e = a->wave_edge(node.key());
      if (i < e.dep_state.size() && e.state.dep_settled(e.dep_state[i])) removed_pending = true;
      if (i < e.dep_links.size()) {
        DepLink& link = e.dep_links[i];
        if (link.cell) link.cell->value = kNoDepIndex;
        action = std::exchange(link.unsubscribe, std::nullopt);
      }
    }
    if (action) action->call();
  }

  {
    const std::size_t n = new_list.size();
    DepStates fresh = new_dep_state(n);
    // A dep's cell is made when its dep sink is connected; every flag is clear.
    std::vector<DepLink> fresh_links(n);
    std::vector<NodeHandle> promoted;
    promoted.reserve(n);
    for (const UncountedNode& d : new_list) promoted.push_back(d.promote_counted());
    DepList topology_copy(std::move(promoted));
    // What the borrow replaces is dropped after it.
    DepList old_topology;
    DepStates old_state;
    DepLinks old_links;
    {
      auto a = node.core_ref().borrow_mut();
      EdgeEntry& e = a->wave_edge(node.key());
      for (std::size_t i = 0; i < match.size(); ++i) {
        if (!match[i]) continue;
        const std::size_t j = *match[i];
        if (i < e.dep_state.size()) fresh[j] = std::move(e.dep_state[i]);
        if (i < e.dep_links.size()) {
          DepLink& link = e.dep_links[i];
          fresh_links[j].unsubscribe = std::exchange(link.unsubscribe, std::nullopt);
          if (link.cell) {
            link.cell->value = j;
            fresh_links[j].cell = link.cell;
          }
        }
      }
      TopologyEntry& t = a->topology_at(node.index());
      old_topology = std::exchange(t.deps, std::move(topology_copy));
      old_state = std::exchange(e.dep_state, std::move(fresh));
      old_links = std::exchange(e.dep_links, std::move(fresh_links));
    }
    drop_node_handles(old_topology);
  }

  if (activated) {
    for (auto& [j, dep] : added) connect_dep(node, j, dep);
  }

  TopologyHook hook;
  {
    auto a = node.core_ref().borrow();
    a->require_wave_entries(node.key());
    hook = a->topology_at(node.index()).hook;
  }
  if (hook) (*hook)(node, old_list, new_list);
  hook.reset();

  bool released = false;
  bool terminal;
  {
    auto a = node.core_ref().borrow();
    const EdgeEntry& e = a->wave_edge(node.key());
    terminal = e.state.terminal();
    released = removed_pending && e.state.dirty_without_pending();
  }
  if (!terminal) {
    bool resolve = false;
    if (released) {
      if (new_list.empty()) {
        resolve = true;
      } else {
        auto a = node.core_ref().borrow_mut();
        a->wave_edge(node.key()).state.rerun_after_mutation();
      }
    }
    {
      auto a = node.core_ref().borrow_mut();
      a->wave_edge(node.key()).state.end_mutation();
    }
    bool rerun;
    {
      auto a = node.core_ref().borrow_mut();
      rerun = a->wave_edge(node.key()).state.take_rerun();
    }
    if (rerun) {
      reevaluate(node);
    } else if (resolve) {
      bool dirty_sent;
      {
        auto a = node.core_ref().borrow();
        dirty_sent = a->wave_edge(node.key()).state.dirty_sent();
      }
      if (dirty_sent) {
        down(node, Message::resolved());
      } else {
        auto a = node.core_ref().borrow_mut();
        a->wave_edge(node.key()).state.settle_status();
      }
    }
  }
  end_on_unwind.dismiss();
  end_mutation();
  for (auto& [j, dep] : added) dep.drop();
  drop_node_handles(old_list);
  drop_node_handles(new_list);
}

}  // namespace korvalinth
