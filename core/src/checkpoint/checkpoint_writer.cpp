#include "checkpoint/checkpoint_writer.hpp"

#include <unordered_map>
#include <unordered_set>

#include "base/drop_fault.hpp"
#include "checkpoint/backend_state_registry.hpp"
#include "checkpoint/checkpoint_value_encoding.hpp"
#include "checkpoint/node_version_json.hpp"
#include "checkpoint/restore_texts.hpp"

namespace korvalinth {

namespace {

struct CollectedNode {
  std::string id;
  std::string kind;
  std::optional<std::string> name;
  std::optional<RegistryRef> restore;
  NodeHandle handle;  // no collected node is reclaimed during the write
  std::map<std::string, std::string> metadata;
  bool discovered = false;
};

// The working list, with its lookup by node identity.
struct WorkingList {
  std::vector<CollectedNode> nodes;
  std::unordered_map<NodeId, std::size_t, NodeIdHash> index;

  const CollectedNode* find(const UncountedNode& node) const {
    auto it = index.find(node.id());
    return it == index.end() ? nullptr : &nodes[it->second];
  }
  void append(CollectedNode node) {
    index.emplace(node.handle.id(), nodes.size());
    nodes.push_back(std::move(node));
  }
  ~WorkingList() {
    for (CollectedNode& n : nodes) drop_quietly([&] { n.handle.drop(); });
  }
};

void collect_registered(GraphContainer& graph, WorkingList& list) {
  auto rows = graph.node_table().borrow();
  list.nodes.reserve(rows->size());
  list.index.reserve(rows->size());
  for (const NodeEntry& row : *rows)
    list.append(CollectedNode{row.id(), row.kind, row.name(), row.restore(), row.node().promote_counted(graph.core()),
                                  row.metadata()});
}

// Appends every unregistered dep of a collected node, transitively.
void discover_deps(GraphContainer& graph, WorkingList& list) {
  for (std::size_t i = 0; i < list.nodes.size(); ++i) {
    std::vector<NodeHandle> deps = counted_deps(list.nodes[i].handle);
    for (NodeHandle& dep : deps) {
      if (list.find(dep)) {
        dep.drop();
        continue;
      }
      CollectedNode found;
      found.id = graph.node_id_of_slow(dep);
      found.kind = node_kind(dep).value_or("?");
      found.handle = std::move(dep);
      found.discovered = true;
      list.append(std::move(found));
    }
  }
}

std::expected<std::vector<std::string>, std::string> checkpoint_dep_ids(const CollectedNode& node,
                                                                        const WorkingList& list) {
  std::vector<std::string> ids;
  CheckedLive live = check_live(node.handle);
  ids.reserve(live.topology.deps.size());
  for (const UncountedNode& dep : live.topology.deps) {
    const CollectedNode* match = list.find(dep);
    if (!match) return std::unexpected(fill_text(kUnregisteredDep, {node.id}));
    ids.push_back(match->id);
  }
  return ids;
}

GraphCheckpointFactory factory_of(const CollectedNode& node) {
  if (node.discovered) return GraphCheckpointFactory::local_only(node.kind, std::string(kDiscoveredReason));
  if (node.restore) return GraphCheckpointFactory::registry_ref(node.restore->ref, node.restore->config,
                                                                 node.restore->config_version);
  if (node.kind == "state") return GraphCheckpointFactory::registry_ref("state");
  return GraphCheckpointFactory::local_only(node.kind, std::string(kNoRestoreMetadataReason));
}

bool is_collection_node(const CollectedNode& node) {
  auto kind = node.metadata.find("kind");
  if (kind == node.metadata.end()) return false;
  const std::string& k = kind->second;
  return k == "collection_delta" || k == "collection_snapshot" || k == "collection_view_delta" ||
         k == "collection_view_snapshot";
}

struct SlotState {
  SharedValue cache;
  NodeStatus status = NodeStatus::Sentinel;
  bool has_data = false;
  bool terminal = false;
  bool has_run = false;
  bool activated = false;
  SharedValue ctx_state;
  bool ctx_state_persist = false;
};

SlotState read_slot_state(const UncountedNode& node) {
  SlotState state;
  NodeView view(node);
  const EdgeEntry& edge = view.edge();
  const AuxEntry& aux = view.aux();
  state.cache = edge.cache;
  state.status = edge.state.status();
  state.has_data = edge.state.has_data();
  state.terminal = edge.state.terminal();
  state.has_run = view.has_run();
  state.activated = edge.state.activated();
  state.ctx_state = aux.rare().ctx_state;
  state.ctx_state_persist = aux.rare().ctx_state_persist != 0;
  return state;
}

std::expected<std::optional<Json>, std::string> backend_state_of(const CollectedNode& node) {
  const UncountedNode& h = node.handle;
  BackendStateProvider provider = backend_state_registry_lookup(h.core_id(), h.index(), h.generation());
  if (!provider) return std::optional<Json>();
  const std::string path = node.id + ".backendState";
  auto state = (*provider)(path);
  if (!state) return std::unexpected(fill_text(kBackendStateFailed, {path, state.error()}));
  if (auto r = checkpoint_error(*state, path); !r) return std::unexpected(std::move(r.error()));
  return std::optional<Json>(std::move(*state));
}

std::expected<GraphCheckpointNode, std::string> write_node(const CollectedNode& node, const WorkingList& list,
                                                           std::vector<GraphCheckpointEdge>& edges) {
  std::optional<NodeVersion> version = version_metadata(node.handle);
  SlotState state = read_slot_state(node.handle);
  if (!is_quiescent_status(state.status))
    return std::unexpected(fill_text(kNonQuiescentStatus, {"checkpoint", node.id, node_status_name(state.status)}));
  auto deps = checkpoint_dep_ids(node, list);
  if (!deps) return std::unexpected(std::move(deps.error()));
  // One edge per distinct dep: a dep listed twice is one link.
  std::unordered_set<std::string_view> linked;
  for (const std::string& dep : *deps)
    if (linked.insert(dep).second) edges.push_back(GraphCheckpointEdge{dep, node.id});
  auto backend_state = backend_state_of(node);
  if (!backend_state) return std::unexpected(std::move(backend_state.error()));
  const bool collection = is_collection_node(node);

  GraphCheckpointNode out;
  out.id = node.id;
  out.name = node.name;
  out.factory = factory_of(node);
  out.status = std::string(node_status_name(state.status));
  out.deps = std::move(*deps);
  if (!collection) {
    auto value = encode_checkpoint_value(state.cache, state.has_data, node.id);
    if (!value) return std::unexpected(std::move(value.error()));
    out.value = std::move(*value);
  }
  out.backend_state = std::move(*backend_state);
  if (version) out.version = encode_node_version(*version);
  if (state.terminal && state.status == NodeStatus::Completed) {
    out.terminal = GraphCheckpointTerminal::complete();
  } else if (state.terminal && state.status == NodeStatus::Errored) {
    return std::unexpected(fill_text(kErrorPayloadUnavailable, {node.id}));
  }
  out.lifecycle = GraphCheckpointLifecycle{state.activated, state.has_run};
  out.ctx_state.persist = state.ctx_state_persist;
  if (!collection) {
    auto ctx = encode_checkpoint_value(state.ctx_state, state.ctx_state != nullptr, node.id + ".ctxState");
    if (!ctx) return std::unexpected(std::move(ctx.error()));
    out.ctx_state.value = std::move(*ctx);
  }
  if (!node.metadata.empty()) {
    CheckpointMeta meta;
    for (const auto& [k, v] : node.metadata) meta.emplace(k, Json(v));
    out.meta = std::move(meta);
  }
  return out;
}

}  // namespace

std::expected<GraphCheckpoint, std::string> checkpoint_graph(GraphContainer& graph) {
  WorkingList list;
  collect_registered(graph, list);
  discover_deps(graph, list);

  GraphCheckpoint checkpoint;
  checkpoint.version = std::string(kCheckpointFormatVersion);
  checkpoint.name = graph.name();
  checkpoint.nodes.reserve(list.nodes.size());
  for (const CollectedNode& node : list.nodes) {
    auto written = write_node(node, list, checkpoint.edges);
    if (!written) return std::unexpected(std::move(written.error()));
    checkpoint.nodes.push_back(std::move(*written));
  }

  std::vector<std::pair<std::string, GraphRef>> mounts;
  {
    auto own = graph.mounts().borrow();
    for (const GraphMount& m : *own) mounts.emplace_back(m.path, m.child);
  }
  if (!mounts.empty()) {
    checkpoint.mounts.emplace();
    for (auto& [path, child] : mounts) {
      auto mount = checkpoint_mount(std::move(path), *child);
      if (!mount) return std::unexpected(std::move(mount.error()));
      checkpoint.mounts->push_back(std::move(*mount));
    }
  }
  return checkpoint;
}

std::expected<GraphCheckpointMount, std::string> checkpoint_mount(std::string path, GraphContainer& child) {
  auto checkpoint = checkpoint_graph(child);
  if (!checkpoint) return std::unexpected(std::move(checkpoint.error()));
  return GraphCheckpointMount{std::move(path), std::move(*checkpoint)};
}

}  // namespace korvalinth
