// Release of a topology group: refusal checks first (they change nothing),
// then removal from the graph's tables, then forced release of the slots in
// passes (a node is freed only once nothing subscribes to it), then the
// NodeRemoved events.

#include <algorithm>
#include <exception>
#include <unordered_set>

#include "base/drop_fault.hpp"
#include "graph/topology_group.hpp"
#include "node/topology/subscribe.hpp"

namespace korvalinth {

namespace {

struct Collected {
  std::string id;
  NodeHandle handle;  // a clone of the row's handle
};

struct RemovedRecord {
  std::string id;
  std::string kind;
  std::vector<std::string> deps;
};

class Refusal {
 public:
  explicit Refusal(std::string_view reason)
      : prefix_("graph: cannot release node group for " + std::string(reason) + "; ") {}
  [[noreturn]] void operator()(const std::string& rest) const { fault(prefix_ + rest); }

 private:
  std::string prefix_;
};

std::vector<Collected> collect_members(GraphContainer& graph, const std::vector<NodeHandle>& snapshot) {
  std::vector<Collected> collected;
  for (const UncountedNode& h : snapshot) {
    const bool seen = std::any_of(collected.begin(), collected.end(),
                                  [&](const Collected& c) { return c.handle.same_node(h); });
    if (seen) continue;
    auto rows = graph.node_table().borrow();
    for (const NodeEntry& row : *rows) {
      if (graph.row_node_id(row) == h.id()) {
        collected.push_back(Collected{row.id(), row.node().promote_counted(graph.core())});
        break;
      }
    }
  }
  return collected;
}

// No registered node outside the group may depend on a member.
void refuse_outside_dependents(GraphContainer& graph, const std::vector<Collected>& collected,
                               const std::unordered_set<std::string>& member_ids, const Refusal& refuse) {
  auto rows = graph.node_table().borrow();
  for (const NodeEntry& row : *rows) {
    if (member_ids.contains(row.id())) continue;
    std::vector<NodeHandle> deps = counted_deps(row.node().uncounted(graph.core()));
    for (const UncountedNode& dep : deps) {
      for (const Collected& m : collected) {
        if (dep.same_node(m.handle)) refuse("'" + row.id() + "' still depends on '" + m.id + "' (D122)");
      }
    }
  }
}

// Every member quiescent, and subscribed to by nothing but other
// (active) members and observe sinks.
void refuse_busy_members(const std::vector<Collected>& collected, const Refusal& refuse) {
  for (const Collected& m : collected) {
    if (!node_is_quiescent(m.handle)) refuse("'" + m.id + "' is not runtime-quiescent (D124)");
    std::uint64_t internal = 0;
    for (const Collected& h : collected) {
      NodeView view(h.handle);
      if (!view.edge().state.activated()) continue;
      for (const UncountedNode& dep : view.topology().deps) internal += dep.same_node(m.handle);
    }
    std::uint64_t subscribers = 0;
    for (const SinkEntry& s : NodeView(m.handle).aux().sinks) subscribers += s.observer == 0;
    if (subscribers > internal) refuse("'" + m.id + "' still has live subscribers (D124)");
  }
}

std::vector<RemovedRecord> removal_records(GraphContainer& graph, const std::vector<Collected>& collected) {
  std::vector<RemovedRecord> records;
  if (graph.live_observers() == 0) return records;
  for (const Collected& m : collected) {
    std::optional<std::string> kind;
    {
      auto rows = graph.node_table().borrow();
      for (const NodeEntry& row : *rows) {
        if (row.id() == m.id && graph.row_node_id(row) == m.handle.id()) {
          kind = row.kind;
          break;
        }
      }
    }
    if (!kind) continue;
    std::vector<UncountedNode> deps = dep_handles(m.handle);
    records.push_back(RemovedRecord{m.id, std::move(*kind), graph.dep_ids(deps)});
  }
  return records;
}

// Takes the members' rows and id-map entries out and retires their ids.
void unregister_members(GraphContainer& graph, const std::unordered_set<std::string>& member_ids) {
  std::vector<NodeEntry> removed_rows = graph.take_rows(member_ids);  // dropped after the borrows
  // The rows read their nodes from the map entries erased below.
  for (const NodeEntry& row : removed_rows) graph.forget_later_id(graph.row_node_id(row));
  std::vector<NodeHandle> removed_handles;
  {
    auto ids = graph.id_map().borrow_mut();
    auto released = graph.released_ids().borrow_mut();
    for (const std::string& id : member_ids) {
      if (auto it = ids->find(id); it != ids->end()) removed_handles.push_back(ids->take(it));
      released->insert(id);
    }
  }
  for (NodeHandle& h : removed_handles) h.drop();
}

void drop_observe_sinks(const std::vector<Collected>& collected) {
  for (const Collected& m : collected) drop_observer_sinks(m.handle);
}

bool has_sinks(const UncountedNode& node) { return !NodeView(node).aux().sinks.empty(); }

// Frees one candidate whose sink list is empty. Faults of the slot's own
// release are kept in stored (the first only); the checks before it refuse.
void free_candidate(NodeHandle candidate, const Refusal& refuse, std::exception_ptr& stored) {
  const std::string became_busy = "runtime became non-quiescent (D124)";
  if (!node_is_quiescent(candidate)) refuse(became_busy);
  if (has_sinks(candidate)) refuse(became_busy);
  if (NodeView(candidate).pin_count() != 0) refuse(became_busy);
  try {
    // Handles still held elsewhere change nothing from now on.
    candidate.count()->count = 0;
    release_slot(candidate.core(), candidate.key(), 0);
  } catch (...) {
    if (!stored) stored = std::current_exception();
  }
  candidate.drop();
}

void release_in_passes(std::vector<NodeHandle> candidates, const Refusal& refuse, std::exception_ptr& stored) {
  while (!candidates.empty()) {
    bool freed = false;
    std::size_t pos = 0;
    while (pos < candidates.size()) {
      if (has_sinks(candidates[pos])) {
        ++pos;
        continue;
      }
      NodeHandle candidate = std::move(candidates[pos]);
      candidates.erase(candidates.begin() + static_cast<std::ptrdiff_t>(pos));
      free_candidate(std::move(candidate), refuse, stored);
      freed = true;
    }
    if (candidates.empty()) break;
    if (!freed) {
      if (stored) std::rethrow_exception(stored);
      refuse("internal release order did not quiesce (D124)");
    }
  }
}

}  // namespace

void release_group(const TopologyGroupRef& group, std::string_view reason) {
  if (group->released_) return;
  GraphContainer& graph = *group->graph();
  const Refusal refuse(reason);

  std::vector<NodeHandle> snapshot;
  {
    auto members = group->members_.borrow();
    snapshot.reserve(members->size());
    for (const UncountedNode& m : *members) snapshot.push_back(m.promote_counted());
  }
  std::vector<Collected> collected = collect_members(graph, snapshot);
  drop_node_handles(snapshot);
  if (!collected.empty()) {
    std::unordered_set<std::string> member_ids;
    for (const Collected& c : collected) member_ids.insert(c.id);

    refuse_outside_dependents(graph, collected, member_ids, refuse);
    refuse_busy_members(collected, refuse);
    std::vector<RemovedRecord> records = removal_records(graph, collected);

    unregister_members(graph, member_ids);
    drop_observe_sinks(collected);

    // Last retained first: with members retained deps first, one pass frees all.
    std::vector<NodeHandle> candidates;
    candidates.reserve(collected.size());
    for (auto it = collected.rbegin(); it != collected.rend(); ++it) candidates.push_back(it->handle.promote_counted());
    std::exception_ptr stored;
    release_in_passes(std::move(candidates), refuse, stored);

    for (RemovedRecord& r : records) {
      if (graph.live_observers() == 0) continue;
      const std::uint64_t seq = graph.next_seq();
      graph.emit_topology(TopologyEvent{std::move(r.id), std::move(r.deps), std::nullopt, std::move(r.kind), seq,
                                        TopologyEventKind::NodeRemoved});
    }
    if (stored) std::rethrow_exception(stored);
  }

  std::vector<NodeHandle> members;
  {
    auto m = group->members_.borrow_mut();
    members = std::move(*m);
    m->clear();
  }
  // A member that was not collected may be released by its drop.
  for (NodeHandle& h : members) drop_quietly([&] { h.drop(); });
  group->released_ = true;
}

}  // namespace korvalinth
