#include "checkpoint/restore_prepare.hpp"

#include <set>

#include "checkpoint/node_version_json.hpp"
#include "checkpoint/restore_texts.hpp"

namespace korvalinth {

namespace {

std::expected<void, std::string> check_at(const Json& value, const std::string& path) {
  if (auto r = strict_json_check(value, path, 0); !r) return std::unexpected("checkpoint: " + r.error().display());
  return {};
}

// The id with every leading repetition of "{prefix}::" removed.
std::string_view strip_prefix(std::string_view id, std::string_view qualified_prefix) {
  while (id.starts_with(qualified_prefix)) id.remove_prefix(qualified_prefix.size());
  return id;
}

bool contains(const std::vector<std::string>& deps, std::string_view id) {
  for (const std::string& d : deps)
    if (d == id) return true;
  return false;
}

using EdgeSet = std::set<std::pair<std::string, std::string>>;

std::expected<PreparedNode, std::string> prepare_node(const GraphCheckpointNode& node, const RestoreRegistry& registry,
                                                      const std::optional<std::string>& qualified_prefix,
                                                      std::optional<std::string_view> mount_prefix) {
  if (qualified_prefix && std::string_view(node.id).starts_with(*qualified_prefix))
    return std::unexpected(
        fill_text(kChildLocalId, {*mount_prefix, strip_prefix(node.id, *qualified_prefix), node.id}));
  if (node.factory.kind == GraphCheckpointFactory::Kind::LocalOnly)
    return std::unexpected(fill_text(kLocalOnlyFactory, {node.id, node.factory.name, node.factory.reason}));
  auto entry = registry.find(node.factory.ref);
  const SharedRestoreDescriptor* descriptor =
      entry == registry.end() ? nullptr : std::get_if<SharedRestoreDescriptor>(&entry->second);
  if (!descriptor || !*descriptor) return std::unexpected(fill_text(kMissingDescriptor, {node.factory.ref, node.id}));
  auto status = parse_checkpoint_status(node.status, node.id);
  if (!status) return std::unexpected(std::move(status.error()));
  if (!is_quiescent_status(*status))
    return std::unexpected(fill_text(kNonQuiescentStatus, {"restore_graph", node.id, node_status_name(*status)}));
  if (auto r = check_checkpoint_node_json(node); !r) return std::unexpected(std::move(r.error()));
  if (node.version) {
    auto version = decode_node_version(*node.version, node.id + ".version");
    if (!version) return std::unexpected(std::move(version.error()));
  }
  return PreparedNode{node, node.deps, *descriptor};
}

}  // namespace

std::expected<NodeStatus, std::string> parse_checkpoint_status(std::string_view status, std::string_view id) {
  if (auto s = parse_node_status(status)) return *s;
  return std::unexpected(fill_text(kInvalidStatus, {id, status}));
}

std::expected<void, std::string> check_checkpoint_node_json(const GraphCheckpointNode& node) {
  const std::string& id = node.id;
  if (node.factory.kind == GraphCheckpointFactory::Kind::RegistryRef) {
    if (node.factory.config)
      if (auto r = check_at(*node.factory.config, id + ".factory.config"); !r) return r;
    if (node.factory.config_version)
      if (auto r = check_at(*node.factory.config_version, id + ".factory.configVersion"); !r) return r;
  }
  if (node.value.is_data())
    if (auto r = check_at(node.value.data, id + ".value"); !r) return r;
  if (node.ctx_state.value.is_data())
    if (auto r = check_at(node.ctx_state.value.data, id + ".ctxState"); !r) return r;
  if (node.backend_state)
    if (auto r = check_at(*node.backend_state, id + ".backendState"); !r) return r;
  if (node.terminal.kind == GraphCheckpointTerminal::Kind::Error)
    if (auto r = check_at(node.terminal.error, id + ".terminal.error"); !r) return r;
  if (node.meta)
    for (const auto& [key, value] : *node.meta)
      if (auto r = check_at(value, id + ".meta." + key); !r) return r;
  return {};
}

std::expected<PreparedCheckpoint, std::string> restore_graph_prepare(const GraphCheckpoint& checkpoint,
                                                                     const RestoreRegistry& registry,
                                                                     std::string_view path,
                                                                     std::optional<std::string_view> mount_prefix) {
  if (checkpoint.version != kCheckpointFormatVersion) return std::unexpected(fill_text(kUnsupportedVersion, {path}));

  std::optional<std::string> qualified_prefix;
  if (mount_prefix) qualified_prefix = std::string(*mount_prefix) + "::";

  PreparedCheckpoint prepared;
  for (const GraphCheckpointNode& node : checkpoint.nodes) {
    if (prepared.nodes.contains(node.id)) return std::unexpected(fill_text(kDuplicateNodeId, {node.id}));
    auto p = prepare_node(node, registry, qualified_prefix, mount_prefix);
    if (!p) return std::unexpected(std::move(p.error()));
    prepared.nodes.emplace(node.id, std::move(*p));
  }

  for (const auto& [id, node] : prepared.nodes)
    for (const std::string& dep : node.deps)
      if (!prepared.nodes.contains(dep)) return std::unexpected(fill_text(kMissingDep, {id, dep}));

  EdgeSet edges;
  for (const GraphCheckpointEdge& edge : checkpoint.edges) {
    if (!edges.emplace(edge.from, edge.to).second)
      return std::unexpected(fill_text(kDuplicateEdge, {edge.from, edge.to}));
    auto to = prepared.nodes.find(edge.to);
    if (to == prepared.nodes.end()) return std::unexpected(fill_text(kEdgeMissingNode, {edge.from, edge.to}));
    if (!prepared.nodes.contains(edge.from) || !contains(to->second.deps, edge.from))
      return std::unexpected(fill_text(kEdgeNotInDeps, {edge.from, edge.to}));
  }

  for (const auto& [id, node] : prepared.nodes)
    for (const std::string& dep : node.deps)
      if (!edges.contains(std::make_pair(dep, id)))
        return std::unexpected(fill_text(kDepMissingEdge, {id, dep}));

  if (checkpoint.mounts) {
    std::set<std::string, std::less<>> mount_paths;
    for (const GraphCheckpointMount& mount : *checkpoint.mounts) {
      if (mount.at.empty()) return std::unexpected(fill_text(kEmptyMountPath, {path}));
      if (!mount_paths.insert(mount.at).second) return std::unexpected(fill_text(kDuplicateMountPath, {mount.at}));
      std::string child_path = std::string(path) + ".mounts." + mount.at;
      auto child = restore_graph_prepare(mount.checkpoint, registry, child_path, mount.at);
      if (!child) return std::unexpected(std::move(child.error()));
      prepared.mounts.emplace_back(mount.at, std::move(*child));
    }
  }

  prepared.checkpoint.version = checkpoint.version;
  prepared.checkpoint.name = checkpoint.name;
  prepared.checkpoint.edges = checkpoint.edges;
  return prepared;
}

}  // namespace korvalinth
