#include "checkpoint/restore_build.hpp"

#include <set>
#include <vector>

#include "checkpoint/node_version_json.hpp"
#include "checkpoint/restore_descriptors.hpp"
#include "checkpoint/restore_texts.hpp"
#include "json/json_value.hpp"
#include "node/topology/restored_state.hpp"

namespace korvalinth {

namespace {

using BuiltTable = std::map<std::string, NodeHandle, std::less<>>;
using InProgress = std::set<std::string, std::less<>>;

// Runs the node's descriptor and builds what it asks for; the node must
// come out with exactly the checkpoint's deps.
std::expected<NodeHandle, std::string> create_node(const std::string& id, const PreparedNode& prepared,
                                                   const std::vector<NodeHandle>& deps,
                                                   const RestoreRegistry& registry, GraphContainer& graph) {
  const GraphCheckpointFactory& factory = prepared.node.factory;
  const bool registry_ref = factory.kind == GraphCheckpointFactory::Kind::RegistryRef;
  RestoreCreateRequest request{id,
                               prepared.deps,
                               prepared.node,
                               registry,
                               registry_ref && factory.config ? &*factory.config : nullptr,
                               registry_ref && factory.config_version ? &*factory.config_version : nullptr};
  RestoreOutcome outcome = prepared.descriptor->create(request);

  NodeHandle node;
  if (auto* failure = std::get_if<RestoreFailure>(&outcome)) return std::unexpected(std::move(failure->text));
  if (auto* state = std::get_if<StateNodeRequest>(&outcome)) {
    node = restore_state_node(graph, id, std::move(state->options));
  } else if (auto* computed = std::get_if<ComputedNodeRequest>(&outcome)) {
    std::vector<NodeHandle> dep_copies;
    dep_copies.reserve(deps.size());
    for (const UncountedNode& d : deps) dep_copies.push_back(d.promote_counted());
    node = restore_dep_node(graph, id, std::move(computed->kind), std::move(dep_copies), std::move(computed->fn),
                            std::move(computed->options));
  } else {
    auto& deferred = std::get<std::unique_ptr<DeferredNode>>(outcome);
    auto registered = deferred->register_node(graph);
    deferred.reset();
    if (!registered) return std::unexpected(std::move(registered.error()));
    node = std::move(*registered);
  }

  bool same = false;
  {
    CheckedLive live = check_live(node);
    same = live.topology.deps.size() == deps.size();
    for (std::size_t i = 0; same && i < deps.size(); ++i) same = live.topology.deps[i].same_node(deps[i]);
  }
  if (!same) return std::unexpected(fill_text(kDescriptorDepsMismatch, {prepared.descriptor->name(), id}));
  return node;
}

// Creates the node with id after its deps, depth first and post-order, as
// a recursive walk over deps in dep order would, but on an explicit stack:
// a long dep chain must not exhaust the native stack.
std::expected<NodeHandle, std::string> restore_wire_prepared_nodes(std::string_view root_id,
                                                                   const PreparedCheckpoint& prepared,
                                                                   const RestoreRegistry& registry,
                                                                   GraphContainer& graph, BuiltTable& built,
                                                                   InProgress& in_progress) {
  struct Frame {
    const std::string* id;
    const PreparedNode* node;
    std::size_t next_dep = 0;
    std::vector<NodeHandle> deps;
  };
  std::vector<Frame> stack;

  // The built node's handle, or none after pushing a frame for it.
  auto enter = [&](std::string_view id) -> std::expected<std::optional<NodeHandle>, std::string> {
    if (auto b = built.find(id); b != built.end()) return std::optional<NodeHandle>(b->second.promote_counted());
    if (!in_progress.emplace(id).second) return std::unexpected(fill_text(kDependencyCycle, {id}));
    auto p = prepared.nodes.find(id);
    if (p == prepared.nodes.end()) return std::unexpected(fill_text(kMissingPreparedNode, {id}));
    stack.push_back(Frame{&p->first, &p->second, 0, {}});
    return std::optional<NodeHandle>();
  };

  auto root = enter(root_id);
  if (!root) return std::unexpected(std::move(root.error()));
  if (*root) return std::move(**root);

  for (;;) {
    Frame& top = stack.back();
    if (top.next_dep < top.node->deps.size()) {
      const std::string& dep = top.node->deps[top.next_dep++];
      auto entered = enter(dep);  // may push, which moves `top`
      if (!entered) return std::unexpected(std::move(entered.error()));
      if (*entered) stack.back().deps.push_back(std::move(**entered));
      continue;
    }
    auto created = create_node(*top.id, *top.node, top.deps, registry, graph);
    if (!created) return std::unexpected(std::move(created.error()));
    built.emplace(*top.id, created->promote_counted());
    in_progress.erase(*top.id);
    stack.pop_back();
    if (stack.empty()) return std::move(*created);
    stack.back().deps.push_back(std::move(*created));
  }
}

// The version the node gets, checked against the policy its descriptor gave it.
std::expected<std::optional<NodeVersion>, std::string> checked_version(const GraphCheckpointNode& record,
                                                                       const NodeVersioning& policy,
                                                                       const SharedValue& value) {
  using Mode = NodeVersioning::Mode;
  if (!record.version) {
    if (policy.mode == Mode::Disabled) return std::optional<NodeVersion>();
    return std::unexpected(std::string(kVersionRequired));
  }
  auto decoded = decode_node_version(*record.version, record.id + ".version");
  if (!decoded) return std::unexpected(std::move(decoded.error()));
  const bool level1 = decoded->level == NodeVersion::Level::Level1;
  if (policy.mode == Mode::Disabled) return std::unexpected(std::string(kVersionWithDisabledPolicy));
  if (level1 && policy.mode == Mode::Level0) return std::unexpected(std::string(kLevel1NeedsPolicy));
  if (!level1 && policy.mode == Mode::Level1) return std::unexpected(std::string(kLevel0NeedsPolicy));
  if (level1) {
    if (!value && decoded->counter > 0) return std::unexpected(std::string(kCidWithoutData));
    SharedIdentityHasher hasher = policy.hasher ? policy.hasher : make_fnv1a64_hasher();
    auto cid = data_content_id(*hasher, value.get());
    if (!cid) return std::unexpected(std::move(cid.error()));
    if (*cid != decoded->cid) return std::unexpected(std::string(kCidMismatch));
  }
  return std::optional<NodeVersion>(std::move(*decoded));
}

std::expected<void, std::string> install_node_state(const std::string& id, const UncountedNode& node,
                                                    const PreparedCheckpoint& prepared) {
  auto found = prepared.nodes.find(id);
  if (found == prepared.nodes.end()) fault(std::string(kBuiltWithoutPrepared));
  const GraphCheckpointNode& record = found->second.node;

  const bool has_data = record.value.is_data();
  SharedValue value = has_data ? make_json_value(record.value.data) : SharedValue();
  auto status = parse_checkpoint_status(record.status, id);
  if (!status) return std::unexpected(std::move(status.error()));
  bool terminal = false;
  switch (record.terminal.kind) {
    case GraphCheckpointTerminal::Kind::None:
      if (*status == NodeStatus::Completed || *status == NodeStatus::Errored)
        return std::unexpected(fill_text(kTerminalStatusNeedsTerminal, {id}));
      break;
    case GraphCheckpointTerminal::Kind::Complete:
      if (*status != NodeStatus::Completed) return std::unexpected(fill_text(kCompleteNeedsCompleted, {id}));
      terminal = true;
      break;
    case GraphCheckpointTerminal::Kind::Error:
      return std::unexpected(fill_text(kErrorTerminalUnsupported, {id}));
  }
  SharedValue ctx_state =
      record.ctx_state.value.is_data() ? make_json_value(record.ctx_state.value.data) : SharedValue();
  auto version = checked_version(record, read_version(node), value);
  if (!version) return std::unexpected(std::move(version.error()));

  install_restored_state(node, RestoredNodeState{std::move(value), has_data, *status, terminal,
                                                 record.lifecycle.has_called_fn_once, record.lifecycle.activated,
                                                 std::move(ctx_state), record.ctx_state.persist,
                                                 std::move(*version)});
  return {};
}

}  // namespace

std::expected<GraphRef, std::string> restore_graph_build(const PreparedCheckpoint& prepared,
                                                         const RestoreRegistry& registry) {
  GraphRef graph = GraphContainer::create(prepared.checkpoint.name);
  BuiltTable built;
  InProgress in_progress;

  // In-progress ids, then the built handles, then the graph; the graph was
  // the only holder of what it contains, so a failed restore leaves nothing.
  auto fail = [&](std::string text) -> std::expected<GraphRef, std::string> {
    in_progress.clear();
    for (auto& [id, handle] : built) handle.drop();
    built.clear();
    graph.reset();
    return std::unexpected(std::move(text));
  };

  for (const auto& [id, node] : prepared.nodes) {
    auto handle = restore_wire_prepared_nodes(id, prepared, registry, *graph, built, in_progress);
    if (!handle) return fail(std::move(handle.error()));
    handle->drop();
  }
  for (const auto& [path, child_prepared] : prepared.mounts) {
    auto child = restore_graph_build(child_prepared, registry);
    if (!child) return fail(std::move(child.error()));
    graph->mount(path, std::move(*child));
  }
  for (const auto& [id, handle] : built) {
    if (auto r = install_node_state(id, handle, prepared); !r) return fail(std::move(r.error()));
  }
  for (auto& [id, handle] : built) handle.drop();
  built.clear();
  return graph;
}

std::expected<GraphRef, std::string> restore_graph(const Json& checkpoint, const RestoreRegistry& registry) {
  auto read = deserialize_checkpoint(checkpoint);
  if (!read) return std::unexpected(std::move(read.error()));
  auto prepared = restore_graph_prepare(*read, registry, "checkpoint", std::nullopt);
  if (!prepared) return std::unexpected(std::move(prepared.error()));
  return restore_graph_build(*prepared, registry);
}

}  // namespace korvalinth
